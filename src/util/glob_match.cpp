#include "util/glob_match.h"

namespace kestrum {
namespace {

// Matches the class that starts at pattern[p] == '[' against byte c. Sets `next` to the position after the
// closing ']'; false with next = npos when the class is not closed.
bool matchClass(std::string_view pattern, size_t p, unsigned char c, size_t& next) {
    ++p;
    bool negate = false;
    if (p < pattern.size() && pattern[p] == '^') {
        negate = true;
        ++p;
    }
    bool found = false;
    while (p < pattern.size() && pattern[p] != ']') {
        unsigned char low = static_cast<unsigned char>(pattern[p]);
        if (low == '\\' && p + 1 < pattern.size())
            low = static_cast<unsigned char>(pattern[++p]);
        unsigned char high = low;
        if (p + 2 < pattern.size() && pattern[p + 1] == '-' && pattern[p + 2] != ']') {
            p += 2;
            high = static_cast<unsigned char>(pattern[p]);
            if (high == '\\' && p + 1 < pattern.size())
                high = static_cast<unsigned char>(pattern[++p]);
            if (low > high)
                std::swap(low, high);
        }
        if (c >= low && c <= high)
            found = true;
        ++p;
    }
    if (p >= pattern.size()) {
        next = std::string_view::npos;
        return false;
    }
    next = p + 1;
    return found != negate;
}

}  // namespace

bool globMatch(std::string_view pattern, std::string_view text) {
    size_t p = 0;
    size_t t = 0;
    size_t starP = std::string_view::npos;  // position after the last '*' seen
    size_t starT = 0;                       // where the text stood when that '*' was tried last
    while (t < text.size()) {
        if (p < pattern.size()) {
            const char pc = pattern[p];
            if (pc == '*') {
                while (p < pattern.size() && pattern[p] == '*')
                    ++p;
                if (p == pattern.size())
                    return true;
                starP = p;
                starT = t;
                continue;
            }
            size_t next = p + 1;
            bool match = false;
            if (pc == '?') {
                match = true;
            } else if (pc == '[') {
                match = matchClass(pattern, p, static_cast<unsigned char>(text[t]), next);
            } else if (pc == '\\' && p + 1 < pattern.size()) {
                match = pattern[p + 1] == text[t];
                next = p + 2;
            } else {
                match = pc == text[t];
            }
            if (match && next != std::string_view::npos) {
                p = next;
                ++t;
                continue;
            }
        }
        if (starP == std::string_view::npos)
            return false;
        // Let the last '*' take one more byte and try again from there.
        p = starP;
        t = ++starT;
    }
    while (p < pattern.size() && pattern[p] == '*')
        ++p;
    return p == pattern.size();
}

std::string globPatternError(std::string_view pattern) {
    for (size_t p = 0; p < pattern.size(); ++p) {
        if (pattern[p] == '\\') {
            if (p + 1 == pattern.size())
                return "ends in a lone \"\\\"";
            ++p;
        } else if (pattern[p] == '[') {
            size_t next = 0;
            matchClass(pattern, p, 0, next);
            if (next == std::string_view::npos)
                return "has a \"[\" without its \"]\"";
            p = next - 1;
        }
    }
    return {};
}

}  // namespace kestrum
