#include "util/text.h"

namespace kestrum {

char asciiLower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

std::string asciiLower(std::string_view text) {
    std::string out(text);
    for (char& c : out)
        c = asciiLower(c);
    return out;
}

std::string asciiUpper(std::string_view text) {
    std::string out(text);
    for (char& c : out) {
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    }
    return out;
}

bool equalsIgnoreCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (asciiLower(a[i]) != asciiLower(b[i]))
            return false;
    }
    return true;
}

size_t findIgnoreCase(std::string_view text, std::string_view word, size_t from) {
    if (from > text.size() || word.size() > text.size() - from)
        return std::string_view::npos;
    for (size_t at = from; at + word.size() <= text.size(); ++at) {
        if (equalsIgnoreCase(text.substr(at, word.size()), word))
            return at;
    }
    return std::string_view::npos;
}

}  // namespace kestrum
