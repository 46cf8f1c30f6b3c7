// Text encoding conversions.
//
// All text inside kestrum is 8-bit GB18030: byte-identical to GBK for every GBK character, and able to carry
// every Unicode character, so nothing turns into "?" on the way through. Peers speak UTF-8. Undecodable input
// never fails a conversion: each bad byte (or lone surrogate) becomes U+FFFD. All functions are thread safe.
#pragma once

#include <string>
#include <string_view>

namespace kestrum {

enum class CodePage { Gbk, Utf8 };

// UTF-8 byte-order mark EF BB BF followed by the UTF-8 form of `gbk`. Empty input gives exactly the mark.
std::string gbkToUtf8Bytes(std::string_view gbk);
// UTF-8 bytes (a request body) to internal text. A leading byte-order mark is dropped.
std::string utf8BytesToGbk(std::string_view utf8);
// Internal text to UTF-8, no byte-order mark.
std::string gbkToUtf8(std::string_view gbk);
// UTF-8 text to internal text.
std::string utf8ToGbk(std::string_view utf8);

// Decode `text` written in `page` into UTF-16 code units.
std::u16string textToUtf16(std::string_view text, CodePage page = CodePage::Utf8);
// Encode UTF-16 code units in `page`.
std::string utf16ToText(std::u16string_view text, CodePage page = CodePage::Gbk);

// True when `bytes` is well-formed UTF-8 (no overlongs, no surrogates).
bool isValidUtf8(std::string_view bytes);

}  // namespace kestrum
