#include "util/ini.h"

#include <fstream>
#include <iterator>
#include <sstream>

#include "util/encoding.h"
#include "util/text.h"

namespace kestrum {
namespace {

// A value travels through a 10240-byte buffer, terminator included.
constexpr size_t kMaxValueBytes = 10239;

bool isBlank(unsigned char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

std::string unquote(std::string value) {
    if (value.size() >= 2) {
        char first = value.front();
        char last = value.back();
        if ((first == '"' || first == '\'') && first == last)
            return value.substr(1, value.size() - 2);
    }
    return value;
}

}  // namespace

std::string trimText(std::string_view text) {
    // Walk whole characters so that a trail byte A1 is never mistaken for half of a full-width space.
    size_t first = std::string_view::npos;
    size_t last = 0;
    size_t i = 0;
    while (i < text.size()) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        size_t len = 1;
        if (c >= 0x81 && c <= 0xFE && i + 1 < text.size()) {
            unsigned char t = static_cast<unsigned char>(text[i + 1]);
            len = (t >= 0x30 && t <= 0x39 && i + 3 < text.size()) ? 4 : 2;
        }
        bool blank = (len == 1 && isBlank(c)) || (len == 2 && text.substr(i, 2) == kFullWidthSpace);
        if (!blank) {
            if (first == std::string_view::npos)
                first = i;
            last = i + len;
        }
        i += len;
    }
    if (first == std::string_view::npos)
        return {};
    return std::string(text.substr(first, last - first));
}

IniFile IniFile::parse(std::string_view raw) {
    IniFile file;
    file.loaded_ = true;
    std::string converted;
    if (raw.substr(0, 3) == "\xEF\xBB\xBF") {
        converted = utf8ToGbk(raw.substr(3));
    } else if (isValidUtf8(raw)) {
        converted = utf8ToGbk(raw);
    } else {
        converted.assign(raw);
    }
    std::string_view text(converted);
    Section* current = nullptr;
    size_t pos = 0;
    while (pos <= text.size()) {
        size_t eol = text.find('\n', pos);
        if (eol == std::string_view::npos)
            eol = text.size();
        std::string_view rawLine = text.substr(pos, eol - pos);
        pos = eol + 1;
        // Only ASCII blanks are trimmed around whole lines: a leading A1 A1 would be part of a key.
        size_t b = 0;
        size_t e = rawLine.size();
        while (b < e && isBlank(static_cast<unsigned char>(rawLine[b])))
            ++b;
        while (e > b && isBlank(static_cast<unsigned char>(rawLine[e - 1])))
            --e;
        std::string_view line = rawLine.substr(b, e - b);
        if (line.empty() || line.front() == ';')
            continue;
        if (line.front() == '[') {
            size_t close = line.find(']');
            std::string name = trimText(
                line.substr(1, close == std::string_view::npos ? std::string_view::npos : close - 1));
            file.sections_.push_back(Section{std::move(name), {}});
            current = &file.sections_.back();
            continue;
        }
        if (current == nullptr) {
            // Lines before the first section header belong to no section that a read can name; they are kept
            // under an empty name for the configuration check.
            file.sections_.push_back(Section{});
            current = &file.sections_.back();
        }
        size_t eq = line.find('=');
        Entry entry;
        if (eq == std::string_view::npos) {
            entry.value = std::string(line);
        } else {
            entry.key = trimText(line.substr(0, eq));
            entry.value = trimText(line.substr(eq + 1));
        }
        current->entries.push_back(std::move(entry));
    }
    return file;
}

IniFile IniFile::load(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return IniFile();
    std::string raw((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    return parse(raw);
}

const IniFile::Section* IniFile::section(std::string_view name) const {
    for (const Section& s : sections_) {
        if (equalsIgnoreCase(s.name, name))
            return &s;
    }
    return nullptr;
}

std::string IniFile::get(std::string_view sectionName, std::string_view key,
                         std::string_view defaultValue) const {
    // The first section of that name holds the key, as with the platform's profile reads; a later duplicate
    // section adds keys the first one lacks.
    for (const Section& s : sections_) {
        if (!equalsIgnoreCase(s.name, sectionName))
            continue;
        for (const Entry& entry : s.entries) {
            if (!entry.key.empty() && equalsIgnoreCase(entry.key, key)) {
                std::string value = unquote(entry.value);
                if (value.size() > kMaxValueBytes)
                    value.resize(kMaxValueBytes);
                return value;
            }
        }
    }
    std::string value(defaultValue);
    if (value.size() > kMaxValueBytes)
        value.resize(kMaxValueBytes);
    return value;
}

std::string readIniValue(const std::string& path, std::string_view section, std::string_view key,
                         std::string_view defaultValue) {
    return IniFile::load(path).get(section, key, defaultValue);
}

int readSection(const std::string& path, std::string_view sectionName, std::vector<std::string>& keys,
                std::vector<std::string>& values) {
    keys.clear();
    values.clear();
    IniFile file = IniFile::load(path);
    const IniFile::Section* s = file.section(sectionName);
    if (s == nullptr)
        return 0;
    for (const IniFile::Entry& entry : s->entries) {
        keys.push_back(entry.key);
        values.push_back(entry.value);
    }
    return static_cast<int>(keys.size());
}

}  // namespace kestrum
