// INI configuration reads with the profile-string rules:
//  - section and key names compare case-insensitively;
//  - blanks around keys and values are trimmed, one pair of surrounding quotes ('...' or "...") is removed;
//  - lines starting with ';' are comments; the first occurrence of a section or key wins;
//  - a missing file, section or key gives the default; a key present with an empty value gives empty text;
//  - values are cut to 10239 bytes.
// A file that is valid UTF-8 (with or without a byte-order mark) is converted to the internal encoding;
// anything else is taken as GB18030/GBK bytes.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kestrum {

// One parsed INI file. Load it once and read as many keys as needed.
class IniFile {
  public:
    struct Entry {
        std::string key;    // empty for a line without '='
        std::string value;  // whole line for a line without '='
    };
    struct Section {
        std::string name;
        std::vector<Entry> entries;  // file order, comments and blank lines dropped
    };

    IniFile() = default;
    // Parses `path`; a missing or unreadable file gives an empty IniFile (every read yields its default).
    static IniFile load(const std::string& path);
    static IniFile parse(std::string_view text);

    bool exists() const { return loaded_; }
    std::string get(std::string_view section, std::string_view key, std::string_view defaultValue = {}) const;
    // Every line of the section in file order; nullptr when the section is missing.
    const Section* section(std::string_view name) const;
    // Every section in file order (a repeated name appears again); lines before the first header form a first
    // section with an empty name.
    const std::vector<Section>& sections() const { return sections_; }

  private:
    bool loaded_ = false;
    std::vector<Section> sections_;
};

// One-shot read of a single value (parses the file).
std::string readIniValue(const std::string& path, std::string_view section, std::string_view key,
                         std::string_view defaultValue = {});

// Every line of a section as key and value lists (a line without '=' gives an empty key and the line as
// value). Returns the number of lines; 0 and empty lists for a missing file or section.
int readSection(const std::string& path, std::string_view section, std::vector<std::string>& keys,
                std::vector<std::string>& values);

// Trims ASCII blanks (space, tab, CR, LF) and the full-width space A1 A1 at both ends.
std::string trimText(std::string_view text);

}  // namespace kestrum
