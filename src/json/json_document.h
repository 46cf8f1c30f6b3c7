// JsonDocument: the JSON tree every API handler reads its request from and writes its answer with.
//
// The parser is lenient (single quotes, unquoted keys, unquoted text values kept as literals) and the writer
// always produces one canonical layout: no spaces, members in first-insertion order, numbers written exactly
// as they were read. Values are addressed by paths of dotted names and "[n]" indexes ("db",
// "task.time.second", "[0].id").
//
// Every text argument and result is in the internal 8-bit encoding (GB18030); the tree itself holds UTF-16.
// Paths and keys are read up to their first NUL byte; a document text and a string value are taken whole, so
// a NUL inside a value is kept (and written back as "\u0000").
//
// A document is used by one thread at a time; it is movable, not copyable. No operation throws.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace kestrum {

enum class JsonValueType : int {
    Literal = -1,  // unquoted text that is neither a keyword nor a number
    Null = 0,
    Float = 1,
    Integer = 2,
    Boolean = 3,
    String = 4,
    Array = 5,
    Object = 6
};

struct JsonNode;

class JsonDocument {
  public:
    JsonDocument();
    ~JsonDocument();
    JsonDocument(JsonDocument&& other) noexcept;
    JsonDocument& operator=(JsonDocument&& other) noexcept;
    JsonDocument(const JsonDocument&) = delete;
    JsonDocument& operator=(const JsonDocument&) = delete;

    // Parses `text` into the document (an empty Object root is created first when there is none). An empty
    // text succeeds and leaves the document as it was. On failure the root is left as an empty container of
    // its type and lastError() tells why: -3 allocation, -4 missing key, -5 unbalanced containers, -7 ","
    // before "]", -8 ":" inside an array.
    // With `decodeUnicodeEscapes` (the default, as clients escape freely: every non-ASCII character, or "<",
    // ">" and "&") a "\uXXXX" in a key or quoted value stands for its character: two escapes forming a
    // surrogate pair give one character, a surrogate on its own gives U+FFFD; an escape without four
    // hexadecimal digits stays as written. Without it the six characters are kept as they are.
    bool parse(std::string_view text, bool decodeUnicodeEscapes = true);
    // The same parse over UTF-8 bytes (a request body) without passing through the internal encoding: a
    // leading byte-order mark is dropped and every byte that is no UTF-8 reads as U+FFFD.
    bool parseUtf8(std::string_view utf8, bool decodeUnicodeEscapes = true);
    int lastError() const { return lastError_; }

    // Text of the subtree at `path`; "" when the path does not resolve or there is no root. `pretty` breaks
    // Object members onto CR LF lines indented with TABs; `escape` applies the JSON escapes to strings and
    // keys.
    std::string toText(std::string_view path = {}, bool pretty = false, bool escape = true) const;

    // JsonValueType code of the node at `path`, -1 when the path does not resolve.
    int typeAt(std::string_view path) const;
    // True when `path` resolves (a bare word included, whose typeAt is -1 as well).
    bool has(std::string_view path) const;
    // Elements of the Array (members of the Object) at `path`; -1 for any other node or none.
    int64_t size(std::string_view path) const;

    // Readers never fail: an unresolved path gives "", 0, 0.0 or false.
    std::string getText(std::string_view path) const;  // "%.13g" / decimal for numbers, "1"/"0" for booleans
    std::string getTextUtf8(std::string_view path) const;  // the same text in UTF-8
    int32_t getInt(std::string_view path) const;    // Integer low 32 bits, String like atoi, Boolean 1/0
    int64_t getInt64(std::string_view path) const;  // Integer value, Float truncated toward zero
    double getDouble(std::string_view path) const;
    bool getBool(std::string_view path) const;

    // Setters create the path as needed (converting nodes on the way into the container each segment needs)
    // and fail without changing anything when there is no root or the path holds a negative index.
    bool setText(std::string_view path, std::string_view text);
    bool setInt64(std::string_view path, int64_t value);
    // An Integer holding an unsigned value: all 20 digits up to 18446744073709551615 are written and copied;
    // getInt64 of one above INT64_MAX gives INT64_MAX.
    bool setUint64(std::string_view path, uint64_t value);
    bool setDouble(std::string_view path, double value);
    // A Float whose text is `digits` as given (for a value whose every digit counts, such as a DOUBLE
    // column); `digits` must be a JSON number.
    bool setNumber(std::string_view path, double value, std::string_view digits);
    bool setNull(std::string_view path);
    // The node at `path` becomes (or stays) an Object and gets member `key` = a deep copy of other's root.
    // Numbers are copied by value, so their text is regenerated. False when `other` has no root (the path is
    // still created).
    bool setDocument(std::string_view path, std::string_view key, const JsonDocument& other);

    // Number of members of the Object at `path`; `names` is refilled with their keys in member order.
    int memberNames(std::string_view path, std::vector<std::string>& names) const;

    bool hasRoot() const { return root_ != nullptr; }
    // Drops the whole tree; the document has no root afterwards.
    void clear();

  private:
    bool parseUnits(std::u16string units, size_t textSize, bool decodeUnicodeEscapes);
    bool allocationFailed();
    // The text getText converts: a String's own units, or `scratch` holding a number's text.
    std::u16string_view textUnits(std::string_view path, std::u16string& scratch) const;

    std::unique_ptr<JsonNode> root_;
    int lastError_ = 0;
    size_t sizeHint_ = 0;  // length of the last text parsed: the usual size of the text written back
};

}  // namespace kestrum
