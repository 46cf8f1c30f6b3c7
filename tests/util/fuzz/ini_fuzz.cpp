// Feeds arbitrary bytes to the INI reader: the text is parsed, then section and key names cut from the input
// (and from what was parsed) are looked up. Checks the value cap and that a found section returns the lines
// a lookup sees.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "util/ini.h"

namespace {

void check(bool condition) {
    if (!condition)
        std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view input(reinterpret_cast<const char*>(data), size);
    // Optional lookup names after the last 0x00 byte: "section\x01key".
    std::string_view text = input;
    std::string_view section = "sys";
    std::string_view key = "on";
    if (size_t cut = input.rfind('\0'); cut != std::string_view::npos) {
        text = input.substr(0, cut);
        std::string_view names = input.substr(cut + 1);
        size_t split = names.find('\x01');
        section = names.substr(0, split);
        key = split == std::string_view::npos ? std::string_view() : names.substr(split + 1);
    }

    kestrum::IniFile file = kestrum::IniFile::parse(text);
    check(file.exists());
    std::string value = file.get(section, key, text);
    check(value.size() <= 10239);
    (void)kestrum::trimText(text);
    (void)kestrum::trimText(value);

    if (const kestrum::IniFile::Section* found = file.section(section)) {
        for (const kestrum::IniFile::Entry& entry : found->entries) {
            if (entry.key.empty())
                continue;
            // The first section of that name answers for its keys: the default plays no part.
            std::string read = file.get(found->name, entry.key, "\x01one");
            check(read == file.get(found->name, entry.key, "\x02two") && read.size() <= 10239);
            break;
        }
    }
    return 0;
}
