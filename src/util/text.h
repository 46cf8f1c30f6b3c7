// Text helpers shared by every module: the full-width punctuation of the program's own texts, and comparisons
// that fold ASCII letters only.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace kestrum {

// Full-width marks in the internal encoding (GB18030). Arrays rather than views, so that
// std::string("start success") + kFullWidthColon builds a text.
inline constexpr char kFullWidthColon[] = "\xA3\xBA";  // "："
inline constexpr char kFullWidthComma[] = "\xA3\xAC";  // "，"
inline constexpr char kFullWidthSpace[] = "\xA1\xA1";  // "　", the ideographic space

// Case-insensitive comparisons in which only the letters A-Z and a-z fold; every other byte, the lead and
// trail bytes of multi-byte characters included, compares as it is (whatever locale the process runs in).
char asciiLower(char c);
std::string asciiLower(std::string_view text);
std::string asciiUpper(std::string_view text);
bool equalsIgnoreCase(std::string_view a, std::string_view b);
// First position at or after `from` where `word` stands in `text`; npos when there is none. An empty word is
// found at `from` (when `from` is within the text), like std::string_view::find.
size_t findIgnoreCase(std::string_view text, std::string_view word, size_t from = 0);

}  // namespace kestrum
