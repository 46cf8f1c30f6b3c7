// Feeds arbitrary bytes to the command-template splitter: a template and up to three parameters cut from the
// input, split in both encodings. Checks that a success gives at least one word and a failure none, and that
// a parameter standing alone as the whole template comes back as exactly one word, byte for byte.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "redis/command_words.h"

namespace {

void check(bool condition) {
    if (!condition)
        std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view input(reinterpret_cast<const char*>(data), size);
    // "template\0param1\0param2\0param3"
    std::vector<std::string> parts;
    size_t start = 0;
    while (parts.size() < 4) {
        size_t cut = input.find('\0', start);
        parts.emplace_back(input.substr(start, cut == std::string_view::npos ? cut : cut - start));
        if (cut == std::string_view::npos)
            break;
        start = cut + 1;
    }
    const std::string commandTemplate = parts[0];
    const std::vector<std::string> params(parts.begin() + 1, parts.end());

    for (bool multibyte : {false, true}) {
        std::vector<std::string> words;
        std::string error;
        bool ok = kestrum::buildCommandWords(commandTemplate, params, multibyte, words, error);
        check(ok ? !words.empty() : words.empty() && !error.empty());

        if (!params.empty() && !params[0].empty()) {
            std::vector<std::string> alone;
            check(kestrum::buildCommandWords("{1}", params, multibyte, alone, error));
            check(alone.size() == 1 && alone[0] == params[0]);
        }
    }
    return 0;
}
