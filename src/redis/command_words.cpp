// Command template splitting and reply rendering; see command_words.h for the rules.
#include "redis/command_words.h"

#include <hiredis/hiredis.h>

#include <cstdint>

#include "util/encoding.h"

namespace kestrum {

namespace {

// One lexed unit of a template: a syntax character (may separate, quote or escape), a data byte (never
// interpreted again), or a parameter reference.
struct TemplateItem {
    enum Kind { kSyntax, kData, kParam };
    Kind kind;
    unsigned char byte = 0;
    size_t param = 0;  // 1-based; 0 never matches a parameter
};

constexpr size_t kMaxPlaceholderDigits = 9;

bool isSyntax(const std::vector<TemplateItem>& items, size_t pos, char c) {
    return pos < items.size() && items[pos].kind == TemplateItem::kSyntax &&
           items[pos].byte == (unsigned char)c;
}

bool isSeparator(const TemplateItem& item) {
    if (item.kind != TemplateItem::kSyntax)
        return false;
    switch (item.byte) {
        case ' ':
        case '\n':
        case '\r':
        case '\t':
        case '\v':
        case '\f':
            return true;
        default:
            return false;
    }
}

int hexValue(const TemplateItem& item) {
    if (item.kind != TemplateItem::kSyntax)
        return -1;
    unsigned char c = item.byte;
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// Length of the GB18030 character starting at `i` (1 for single bytes and for malformed sequences).
size_t internalCharLength(std::string_view text, size_t i) {
    auto at = [&](size_t k) { return (unsigned char)text[k]; };
    unsigned char lead = at(i);
    if (lead < 0x81 || lead > 0xFE || i + 1 >= text.size())
        return 1;
    unsigned char second = at(i + 1);
    if ((second >= 0x40 && second <= 0x7E) || (second >= 0x80 && second <= 0xFE))
        return 2;
    if (second >= 0x30 && second <= 0x39 && i + 3 < text.size() && at(i + 2) >= 0x81 && at(i + 2) <= 0xFE &&
        at(i + 3) >= 0x30 && at(i + 3) <= 0x39)
        return 4;
    return 1;
}

std::vector<TemplateItem> lexTemplate(std::string_view t, bool multibyteInternal) {
    std::vector<TemplateItem> items;
    items.reserve(t.size());
    auto data = [&](unsigned char b) { items.push_back({TemplateItem::kData, b, 0}); };
    auto syntax = [&](unsigned char b) { items.push_back({TemplateItem::kSyntax, b, 0}); };
    size_t i = 0;
    while (i < t.size()) {
        char c = t[i];
        if (multibyteInternal) {
            size_t len = internalCharLength(t, i);
            if (len > 1) {
                for (size_t k = 0; k < len; ++k)
                    data((unsigned char)t[i + k]);
                i += len;
                continue;
            }
        }
        if (c == '\\' && i + 1 < t.size()) {
            char next = t[i + 1];
            if (next == 'r' && t.substr(i, 4) == "\\r\\n") {
                data('\r');
                data('\n');
                i += 4;
                continue;
            }
            if (next == 't' || next == '\'' || next == '{' || next == '}') {
                data(next == 't' ? '\t' : (unsigned char)next);
                i += 2;
                continue;
            }
            if (next == '\\') {
                // An escaped backslash goes to the splitter as a pair, so "\\" before a quote cannot escape
                // it.
                syntax('\\');
                syntax('\\');
                i += 2;
                continue;
            }
            syntax('\\');
            ++i;
            continue;
        }
        if (c == '`' && i + 1 < t.size() && t[i + 1] == '`') {
            syntax('"');
            i += 2;
            continue;
        }
        if (c == '{') {
            size_t j = i + 1;
            while (j < t.size() && t[j] >= '0' && t[j] <= '9')
                ++j;
            size_t digits = j - i - 1;
            if (digits > 0 && j < t.size() && t[j] == '}') {
                size_t index = 0;
                if (digits <= kMaxPlaceholderDigits) {
                    for (size_t k = i + 1; k < j; ++k)
                        index = index * 10 + size_t(t[k] - '0');
                }
                items.push_back({TemplateItem::kParam, 0, index});
                i = j + 1;
                continue;
            }
        }
        syntax((unsigned char)c);
        ++i;
    }
    return items;
}

}  // namespace

bool buildCommandWords(std::string_view commandTemplate, const std::vector<std::string>& params,
                       bool multibyteInternal, std::vector<std::string>& words, std::string& error) {
    words.clear();
    const std::vector<TemplateItem> items = lexTemplate(commandTemplate, multibyteInternal);
    const size_t end = items.size();
    auto appendParam = [&](std::string& word, size_t index) {
        if (index >= 1 && index <= params.size())
            word += params[index - 1];
    };

    auto unbalanced = [&] {
        error = "unbalanced quotes in command";
        words.clear();
        return false;
    };
    size_t pos = 0;
    // A closing quote must end its word.
    auto closesWord = [&] { return pos + 1 >= end || isSeparator(items[pos + 1]); };
    for (;;) {
        while (pos < end && isSeparator(items[pos]))
            ++pos;
        if (pos == end)
            break;
        bool inDouble = false;
        bool inSingle = false;
        bool done = false;
        std::string word;
        while (!done) {
            if (pos == end) {
                if (inDouble || inSingle)
                    return unbalanced();
                break;
            }
            const TemplateItem& item = items[pos];
            if (item.kind == TemplateItem::kParam) {
                appendParam(word, item.param);
                ++pos;
                continue;
            }
            if (item.kind == TemplateItem::kData) {
                word += char(item.byte);
                ++pos;
                continue;
            }
            const char c = char(item.byte);
            if (inDouble) {
                if (c == '\\' && pos + 3 < end && isSyntax(items, pos + 1, 'x') &&
                    hexValue(items[pos + 2]) >= 0 && hexValue(items[pos + 3]) >= 0) {
                    word += char(hexValue(items[pos + 2]) * 16 + hexValue(items[pos + 3]));
                    pos += 4;
                } else if (c == '\\' && pos + 1 < end && items[pos + 1].kind != TemplateItem::kParam) {
                    const TemplateItem& next = items[pos + 1];
                    char out = char(next.byte);
                    if (next.kind == TemplateItem::kSyntax) {
                        switch (out) {
                            case 'n':
                                out = '\n';
                                break;
                            case 'r':
                                out = '\r';
                                break;
                            case 't':
                                out = '\t';
                                break;
                            case 'b':
                                out = '\b';
                                break;
                            case 'a':
                                out = '\a';
                                break;
                            default:
                                break;
                        }
                    }
                    word += out;
                    pos += 2;
                } else if (c == '"') {
                    if (!closesWord())
                        return unbalanced();
                    done = true;
                    ++pos;
                } else {
                    word += c;
                    ++pos;
                }
            } else if (inSingle) {
                if (c == '\\' && isSyntax(items, pos + 1, '\'')) {
                    word += '\'';
                    pos += 2;
                } else if (c == '\'') {
                    if (!closesWord())
                        return unbalanced();
                    done = true;
                    ++pos;
                } else {
                    word += c;
                    ++pos;
                }
            } else if (isSeparator(item)) {
                done = true;
                ++pos;
            } else if (c == '"') {
                inDouble = true;
                ++pos;
            } else if (c == '\'') {
                inSingle = true;
                ++pos;
            } else {
                word += c;
                ++pos;
            }
        }
        words.push_back(std::move(word));
    }
    if (words.empty()) {
        error = "empty command";
        return false;
    }
    return true;
}

namespace {

// Appends `bytes` as a JSON string. Multi-byte characters of the internal encoding are copied whole so that a
// trail byte equal to '\' is never escaped.
void appendJsonString(std::string& out, std::string_view bytes, bool multibyteInternal) {
    static const char kHex[] = "0123456789abcdef";
    out += '"';
    size_t i = 0;
    while (i < bytes.size()) {
        if (multibyteInternal) {
            size_t len = internalCharLength(bytes, i);
            if (len > 1) {
                out.append(bytes.substr(i, len));
                i += len;
                continue;
            }
        }
        unsigned char c = (unsigned char)bytes[i++];
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            case '\b':
                out += "\\b";
                break;
            case '\f':
                out += "\\f";
                break;
            default:
                if (c < 0x20) {
                    out += "\\u00";
                    out += kHex[c >> 4];
                    out += kHex[c & 0xF];
                } else {
                    out += char(c);
                }
        }
    }
    out += '"';
}

void appendJsonArray(std::string& out, const redisReply* reply, bool multibyteInternal) {
    out += '[';
    for (size_t k = 0; k < reply->elements; ++k) {
        if (k > 0)
            out += ',';
        const redisReply* element = reply->element[k];
        if (element == nullptr) {
            out += "null";
            continue;
        }
        switch (element->type) {
            case REDIS_REPLY_ARRAY:
                appendJsonArray(out, element, multibyteInternal);
                break;
            case REDIS_REPLY_INTEGER:
                out += std::to_string(element->integer);
                break;
            case REDIS_REPLY_STRING:
            case REDIS_REPLY_STATUS:
            case REDIS_REPLY_ERROR:
                appendJsonString(out, std::string_view(element->str, element->len), multibyteInternal);
                break;
            default:
                out += "null";
        }
    }
    out += ']';
}

}  // namespace

bool replyToWireText(const redisReply* reply, bool unicode, std::string& result, std::string& error) {
    if (reply == nullptr) {
        error = "no reply";
        return false;
    }
    switch (reply->type) {
        case REDIS_REPLY_STRING:
        case REDIS_REPLY_STATUS:
            result.assign(reply->str, reply->len);
            return true;
        case REDIS_REPLY_INTEGER:
            result = std::to_string(reply->integer);
            return true;
        case REDIS_REPLY_NIL:
            result.clear();
            return true;
        case REDIS_REPLY_ARRAY:
            result.clear();
            appendJsonArray(result, reply, !unicode);
            return true;
        case REDIS_REPLY_ERROR:
            error.assign(reply->str, reply->len);
            return false;
        default:
            error = "unsupported reply type " + std::to_string(reply->type);
            return false;
    }
}

bool replyToText(const redisReply* reply, bool unicode, std::string& result, std::string& error) {
    std::string text;
    std::string problem;
    if (!replyToWireText(reply, unicode, text, problem)) {
        // Only texts that came from Redis are converted.
        error =
            unicode && reply != nullptr && reply->type == REDIS_REPLY_ERROR ? utf8ToGbk(problem) : problem;
        return false;
    }
    result = unicode ? utf8ToGbk(text) : std::move(text);
    return true;
}

}  // namespace kestrum
