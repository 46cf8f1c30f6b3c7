// The canonical writer: no spaces anywhere, members in member order, scalars as their stored text.
//
// Pretty output breaks only Objects: "{", CR LF, one line per member indented with as many TABs as the depth,
// "}". Arrays stay on one line but still count a level, so Objects inside them are indented one TAB further.
#include <string>

#include "json/json_node.h"

namespace kestrum::json {
namespace {

void appendEscaped(std::u16string& out, std::u16string_view text, bool escape) {
    if (!escape) {
        out.append(text);
        return;
    }
    size_t plain = 0;  // start of the run not yet copied
    for (size_t i = 0; i < text.size(); ++i) {
        char16_t replacement = 0;
        switch (text[i]) {
            case u'\\':
            case u'/':
            case u'"':
                replacement = text[i];
                break;
            case 0x08:
                replacement = u'b';
                break;
            case 0x09:
                replacement = u't';
                break;
            case 0x0A:
                replacement = u'n';
                break;
            case 0x0D:
                replacement = u'r';
                break;
            case 0x0C:
                replacement = u'f';
                break;
            default:
                continue;
        }
        out.append(text.substr(plain, i - plain));
        out.push_back(u'\\');
        out.push_back(replacement);
        plain = i + 1;
    }
    out.append(text.substr(plain));
}

void appendQuoted(std::u16string& out, std::u16string_view text, bool escape) {
    out.push_back(u'"');
    appendEscaped(out, text, escape);
    out.push_back(u'"');
}

}  // namespace

void writeNode(const JsonNode& node, bool pretty, bool escape, std::u16string& out) {
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
                out.push_back(u'[');
                ++depth;
                open.push_back({&value, 0});
                break;
            case JsonValueType::Object:
                out.push_back(u'{');
                if (pretty)
                    out.append(u"\r\n");
                ++depth;
                open.push_back({&value, 0});
                break;
            default:
                out.append(value.text);
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
                out.append(u"\r\n");
            --depth;
            if (!isObject) {
                out.push_back(u']');
                continue;
            }
            if (pretty && depth > 0)
                out.append(static_cast<size_t>(depth), u'\t');
            out.push_back(u'}');
            continue;
        }
        const JsonNode& child = *container.items[frame.next];
        if (frame.next++ > 0) {
            out.push_back(u',');
            if (isObject && pretty)
                out.append(u"\r\n");
        }
        if (isObject) {
            if (pretty && depth > 0)
                out.append(static_cast<size_t>(depth), u'\t');
            appendQuoted(out, child.key, escape);
            out.push_back(u':');
        }
        begin(child);  // may push a frame; `frame` is not used after this
    }
}

}  // namespace kestrum::json
