// JSON string escapes for texts that never pass through a document.
#include "json/json_escape.h"

#include "json/json_node.h"
#include "util/encoding.h"

namespace kestrum {

namespace {

bool isAscii(std::string_view text) {
    for (char c : text) {
        if (static_cast<unsigned char>(c) >= 0x80)
            return false;
    }
    return true;
}

// ASCII bytes escaped; bytes of multi-byte UTF-8 characters (all 0x80 and above) copied as they are.
void appendEscapedBytes(std::string& out, std::string_view text) {
    static constexpr char kHex[] = "0123456789abcdef";
    size_t plain = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        char letter = 0;
        switch (c) {
            case '\\':
            case '/':
            case '"':
                letter = static_cast<char>(c);
                break;
            case 0x08:
                letter = 'b';
                break;
            case 0x09:
                letter = 't';
                break;
            case 0x0A:
                letter = 'n';
                break;
            case 0x0D:
                letter = 'r';
                break;
            case 0x0C:
                letter = 'f';
                break;
            default:
                if (c >= 0x20)
                    continue;
        }
        out.append(text.data() + plain, i - plain);
        plain = i + 1;
        out.push_back('\\');
        if (letter != 0) {
            out.push_back(letter);
        } else {
            out.append("u00");
            out.push_back(kHex[c >> 4]);
            out.push_back(kHex[c & 0x0F]);
        }
    }
    out.append(text.data() + plain, text.size() - plain);
}

}  // namespace

void appendJsonStringUtf8(std::string& out, std::string_view utf8) {
    if (isValidUtf8(utf8)) {
        appendEscapedBytes(out, utf8);
        return;
    }
    appendEscapedBytes(out, utf16ToText(textToUtf16(utf8, CodePage::Utf8), CodePage::Utf8));
}

void appendJsonStringInternal(std::string& out, std::string_view text) {
    if (isAscii(text)) {
        appendEscapedBytes(out, text);
        return;
    }
    json::appendText(out, json::valueToUtf16(text), true);
}

}  // namespace kestrum
