// The canonical writer: no spaces anywhere, members in member order, scalars as their stored text.
//
// Pretty output breaks only Objects: "{", CR LF, one line per member indented with as many TABs as the depth,
// "}". Arrays stay on one line but still count a level, so Objects inside them are indented one TAB further.
#include <string>

#include "json/json_node.h"

namespace kestrum::json {
namespace {

// The escape letter for `unit`, or 0 when it is written as it is.
char escapeLetter(char16_t unit) {
    switch (unit) {
        case u'\\':
            return '\\';
        case u'/':
            return '/';
        case u'"':
            return '"';
        case 0x08:
            return 'b';
        case 0x09:
            return 't';
        case 0x0A:
            return 'n';
        case 0x0D:
            return 'r';
        case 0x0C:
            return 'f';
        default:
            return 0;
    }
}

bool needsEscape(char16_t unit) {
    return unit < 0x20 || escapeLetter(unit) != 0;
}

}  // namespace

void appendText(std::string& out, std::u16string_view text, bool escape) {
    // ASCII is narrowed in place; each run of other characters is encoded in one call (the encoding is
    // stateless, so run by run gives the same bytes as the whole text at once). Only ASCII characters are
    // ever escaped: the eight with a short escape as a backslash and its letter, every other control
    // character (U+0000 to U+001F) as "\u00" and two hexadecimal digits, so that the output is always valid
    // JSON.
    static constexpr char kHex[] = "0123456789abcdef";
    size_t i = 0;
    const size_t n = text.size();
    while (i < n) {
        while (i < n && text[i] < 0x80) {
            size_t plain = i;
            while (i < n && text[i] < 0x80 && (!escape || !needsEscape(text[i])))
                ++i;
            if (i > plain) {
                size_t at = out.size();
                out.resize(at + (i - plain));
                for (size_t k = plain; k < i; ++k)
                    out[at + (k - plain)] = static_cast<char>(text[k]);
            }
            if (i < n && text[i] < 0x80) {
                out.push_back('\\');
                if (char letter = escapeLetter(text[i]); letter != 0) {
                    out.push_back(letter);
                } else {
                    out.append("u00");
                    out.push_back(kHex[text[i] >> 4]);
                    out.push_back(kHex[text[i] & 0x0F]);
                }
                ++i;
            }
        }
        size_t start = i;
        while (i < n && text[i] >= 0x80)
            ++i;
        if (i > start)
            out += fromUtf16(text.substr(start, i - start));
    }
}

namespace {

void appendQuoted(std::string& out, std::u16string_view text, bool escape) {
    out.push_back('"');
    appendText(out, text, escape);
    out.push_back('"');
}

}  // namespace

void writeNode(const JsonNode& node, bool pretty, bool escape, std::string& out) {
    struct Frame {
        const JsonNode* container;
        size_t next;
    };
    std::vector<Frame> open;
    int depth = 0;

    // Writes a scalar completely, or the opening of a container (which is then continued from `open`).
    auto begin = [&](const JsonNode& value) {
        switch (value.type) {
            case JsonValueType::String:
                appendQuoted(out, value.text, escape);
                break;
            case JsonValueType::Array:
                out.push_back('[');
                ++depth;
                open.push_back({&value, 0});
                break;
            case JsonValueType::Object:
                out.push_back('{');
                if (pretty)
                    out.append("\r\n");
                ++depth;
                open.push_back({&value, 0});
                break;
            default:
                appendText(out, value.text, false);
                break;
        }
    };

    begin(node);
    while (!open.empty()) {
        Frame& frame = open.back();
        const JsonNode& container = *frame.container;
        bool isObject = container.type == JsonValueType::Object;
        if (frame.next == container.items.size()) {
            open.pop_back();
            if (isObject && pretty && !container.items.empty())
                out.append("\r\n");
            --depth;
            if (!isObject) {
                out.push_back(']');
                continue;
            }
            if (pretty && depth > 0)
                out.append(static_cast<size_t>(depth), '\t');
            out.push_back('}');
            continue;
        }
        const JsonNode& child = *container.items[frame.next];
        if (frame.next++ > 0) {
            out.push_back(',');
            if (isObject && pretty)
                out.append("\r\n");
        }
        if (isObject) {
            if (pretty && depth > 0)
                out.append(static_cast<size_t>(depth), '\t');
            appendQuoted(out, child.key, escape);
            out.push_back(':');
        }
        begin(child);  // may push a frame; `frame` is not used after this
    }
}

}  // namespace kestrum::json
