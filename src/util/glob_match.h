// Glob patterns as Redis reads them (KEYS, SCAN MATCH, ACL key patterns), matched byte by byte:
//   *  any run of bytes (also none)      ?  one byte
//   [abc]  one of the bytes   [a-z]  a range (either order)   [^...]  none of them   \x  the byte x itself
// Matching is linear in practice: a failed try after a "*" resumes from the last "*" only, so no pattern can
// make it backtrack exponentially.
#pragma once

#include <string>
#include <string_view>

namespace kestrum {

bool globMatch(std::string_view pattern, std::string_view text);

// Why `pattern` is not a well-formed glob (a "[" without "]", a "\" at the end), in plain words; empty when
// it is one. globMatch still gives an answer for a malformed pattern: the unfinished part matches nothing.
std::string globPatternError(std::string_view pattern);

}  // namespace kestrum
