// Whole numbers read from configuration values (and other texts that hold one).
#pragma once

#include <cstdint>
#include <string_view>

namespace kestrum {

// The leading decimal integer of a text, read the way C's atoi reads it: leading blanks (space, \t, \n, \v,
// \f, \r), an optional sign, then the decimal digits up to the first other character; a text without digits
// reads 0. Saturates at the bounds of the result type instead of overflowing.
int leadingInt(std::string_view text);
int64_t leadingInt64(std::string_view text);

// A setting that must be a number in [lowest, highest]: empty text, or a leading integer below `lowest`
// (which includes a text without digits when lowest > 0), gives `fallback`; one above `highest` gives
// `highest`.
int64_t configNumber(std::string_view text, int64_t fallback, int64_t lowest, int64_t highest);

}  // namespace kestrum
