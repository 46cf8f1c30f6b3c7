// Text written as the inside of a JSON string by the same rules as JsonDocument's writer: backslash, "/" and
// the double quote behind a backslash, the five short escapes (\b \t \n \r \f), every other control character
// as "\u00XX", everything else unchanged. For callers that write a JSON text without building a document.
#pragma once

#include <string>
#include <string_view>

namespace kestrum {

// `utf8` escaped and appended to `out` in UTF-8. Bytes that are no UTF-8 become U+FFFD, one for each such
// byte, as they do on their way into a document.
void appendJsonStringUtf8(std::string& out, std::string_view utf8);

// `text` (internal encoding) escaped and appended to `out` in the internal encoding, exactly as a document
// holding it as a string value writes it.
void appendJsonStringInternal(std::string& out, std::string_view text);

}  // namespace kestrum
