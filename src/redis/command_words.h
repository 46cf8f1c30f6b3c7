// Turning a command template into the argument vector sent to Redis, and a Redis reply into result text.
//
// A template is split into words the way redis-cli splits a command line: blanks separate words, "..." and
// '...' group (inside double quotes \n \r \t \b \a \xHH and \<char> are understood, inside single quotes only
// \'), and a closing quote must end its word. Before splitting, the template's own notation is applied:
//   {n}      the n-th parameter (1-based); a position without a parameter is empty text
//   \r\n     line break        \t  tab        \'  single quote       \{  \}  braces
//   ``       a double quote (it groups like one)
// Characters produced by the backslash escapes are plain data: they never separate or quote. A parameter
// always stays inside the word it stands in, whatever it contains, so keys and values travel byte for byte.
#pragma once

#include <string>
#include <string_view>
#include <vector>

struct redisReply;

namespace kestrum {

// Splits `commandTemplate` into `words`. With `multibyteInternal` the template is internal-encoding text
// (GB18030) whose multi-byte characters are kept whole; otherwise it is UTF-8 (or ASCII), which is safe
// byte-wise. Returns false with `error` set when the quotes are unbalanced or the command has no word.
bool buildCommandWords(std::string_view commandTemplate, const std::vector<std::string>& params,
                       bool multibyteInternal, std::vector<std::string>& words, std::string& error);

// Reply to text: status and bulk strings as they are, integers in decimal, nil as empty text, arrays as a
// compact JSON array (nested arrays nested, nil as null, integers as numbers, everything else as strings). An
// error reply gives false with its message in `error`. With `unicode` the reply bytes are UTF-8 and are
// converted to the internal encoding; otherwise they are kept as they are.
bool replyToText(const redisReply* reply, bool unicode, std::string& result, std::string& error);

// The cheap half of replyToText: the same text (or error) still in the reply's encoding (UTF-8 with
// `unicode`), without the conversion to the internal encoding.
bool replyToWireText(const redisReply* reply, bool unicode, std::string& result, std::string& error);

}  // namespace kestrum
