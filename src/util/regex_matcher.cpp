#include "util/regex_matcher.h"

#include "util/encoding.h"

namespace kestrum {

bool RegexMatcher::prepare(std::string_view pattern, std::string_view subject, bool caseSensitive,
                           bool multiline, bool global, bool quoteToken) {
    std::string source(pattern);
    if (quoteToken) {
        const std::string token = utf8ToGbk("#引号");
        for (size_t at = source.find(token); at != std::string::npos; at = source.find(token, at + 1)) {
            source.replace(at, token.size(), "\"");
        }
    }
    auto flags = std::regex::ECMAScript;
    if (!caseSensitive)
        flags |= std::regex::icase;
    if (multiline)
        flags |= std::regex::multiline;
    subject_.assign(subject);
    global_ = global;
    try {
        regex_ = std::make_unique<std::regex>(source, flags);
    } catch (const std::regex_error&) {
        regex_.reset();
        return false;
    }
    return true;
}

std::string RegexMatcher::replace(std::string_view replacement) const {
    if (!regex_)
        return subject_;
    auto flags = global_ ? std::regex_constants::format_default : std::regex_constants::format_first_only;
    try {
        return std::regex_replace(subject_, *regex_, std::string(replacement), flags);
    } catch (const std::regex_error&) {
        return subject_;
    }
}

std::string collapseEmptyLines(std::string_view headers) {
    // "\n\s*\r": an LF, any run of white space (CR and LF included, greedy), then a CR.
    std::string out;
    out.reserve(headers.size());
    size_t i = 0;
    while (i < headers.size()) {
        if (headers[i] == '\n') {
            // Greedy: the longest run of white space that still ends with a CR.
            size_t j = i + 1;
            size_t lastCr = std::string_view::npos;
            while (j < headers.size()) {
                char c = headers[j];
                if (c == '\r')
                    lastCr = j;
                if (c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f') {
                    ++j;
                } else {
                    break;
                }
            }
            if (lastCr != std::string_view::npos) {
                i = lastCr + 1;
                continue;
            }
        }
        out.push_back(headers[i]);
        ++i;
    }
    return out;
}

}  // namespace kestrum
