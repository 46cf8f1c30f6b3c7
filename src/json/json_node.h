// Internal to src/json: the tree shared by JsonDocument and JsonStore, and the algorithms both use (text
// conversion at the boundary, paths, the member table, the parser, the writer, the deep copy).
//
// A node owns its key, its text and its children. Containers keep their children in `items` (Array elements,
// or Object members in first-insertion order); an Object also keeps a hash table of chains over the same
// nodes so that lookups never scan the order list. Every walk over the tree (writing, copying, freeing) uses
// an explicit stack, so deep nesting costs heap, never native stack.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "json/json_document.h"

namespace kestrum {

struct JsonNode {
    JsonNode() = default;
    // A new Null node carries its keyword as text; every other type gets its text when its value is set.
    explicit JsonNode(JsonValueType t) : type(t) {
        if (t == JsonValueType::Null)
            text = u"null";
    }
    ~JsonNode();
    JsonNode(const JsonNode&) = delete;
    JsonNode& operator=(const JsonNode&) = delete;

    JsonValueType type = JsonValueType::Null;
    bool boolean = false;
    int64_t integer = 0;
    // Integer only: `integer` holds the bits of an unsigned value above INT64_MAX (an unsigned 64-bit
    // column).
    bool unsignedInteger = false;
    double number = 0.0;
    // Float only: `text` was given with the value (JsonDocument::setNumber) and is kept by copies.
    bool givenText = false;
    // The String's value, or the text written verbatim for every other scalar (its textForm: "null", "true",
    // "false", a number as read or formatted, a literal). A cleared root keeps its type but loses this text.
    std::u16string text;
    std::u16string key;  // set while the node is a member of an Object
    uint32_t keyHash = 0;
    // Object only: the member table switched from the key hash to the keyed hash after a chain grew
    // suspiciously long (keys crafted to collide); member order and lookups behave the same either way.
    bool keyedHash = false;
    uint32_t slot = 0;  // position in the parent's `items`
    JsonNode* parent = nullptr;
    JsonNode* nextInBucket = nullptr;
    std::vector<std::unique_ptr<JsonNode>> items;
    std::vector<JsonNode*> buckets;  // Object only; allocated with the first member
};

namespace json {

using NodePtr = std::unique_ptr<JsonNode>;

// ---- boundary conversions

// Internal text up to its first NUL to UTF-16 (paths, keys), and back. Pure ASCII takes a direct path.
std::u16string toUtf16(std::string_view text);
// The whole text, NUL bytes included, to UTF-16 (document texts and string values, which may hold any byte).
std::u16string valueToUtf16(std::string_view text);
std::string fromUtf16(std::u16string_view text);
// Byte length of `text` once encoded (used to turn a scanner position into a byte offset).
size_t encodedLength(std::u16string_view text);

// ---- node content

// Releases the content (value, text, children) and gives the node `type`; key, slot and parent stay.
void resetNode(JsonNode& node, JsonValueType type);
void setIntegerValue(JsonNode& node, int64_t value);    // text = decimal digits
void setUnsignedValue(JsonNode& node, uint64_t value);  // text = decimal digits
void setFloatValue(JsonNode& node, double value);       // text = "%.13g"
void setStringValue(JsonNode& node, std::u16string text);

std::u16string formatInteger(int64_t value);
// Decimal digits of an Integer node's value (unsigned ones included).
std::u16string integerDigits(const JsonNode& node);
// An Integer node's value as int64: an unsigned one above INT64_MAX saturates.
int64_t integerValue(const JsonNode& node);
// "%.13g" with the exponent widened to at least three digits (1e+020).
std::u16string formatDouble(double value);
// Double to int64 truncating toward zero; out of range saturates, NaN gives 0.
int64_t truncateToInt64(double value);

// ---- member table

// The member table's hash of a key: over its UTF-16LE bytes from the last byte to the first, h = h*31 + byte.
uint32_t keyHash(std::u16string_view key);
// SipHash-2-4 of the same bytes under a key drawn once per process; used by tables under collision attack.
uint32_t keyedHash(std::u16string_view key);
JsonNode* findMember(const JsonNode& object, std::u16string_view key);
// Stores `member` under `key`: a key that exists is replaced at its place, a new one is appended. Returns the
// node.
JsonNode* putMember(JsonNode& object, std::u16string key, NodePtr member);
bool eraseMember(JsonNode& object, std::u16string_view key);
JsonNode* appendElement(JsonNode& array, NodePtr element);

// ---- paths

struct PathSegment {
    bool isIndex = false;
    int32_t index = 0;
    std::u16string name;
};
std::vector<PathSegment> splitPath(std::u16string_view path);
// Reads an index as a signed decimal: optional sign, digits up to the first other character, saturating.
int32_t readIndex(std::u16string_view text);
const JsonNode* resolveForReading(const JsonNode* root, const std::vector<PathSegment>& segments);
// Creates and converts nodes along the path; nullptr (and nothing changed) when the path cannot be written.
JsonNode* resolveForWriting(JsonNode* root, const std::vector<PathSegment>& segments);

// The node at a path given in the internal encoding; the empty path is the root; nullptr when unresolved.
const JsonNode* findNode(const JsonNode* root, std::string_view path);
// Resolves `path` for writing and applies `write` to the node. False when there is no root, the path cannot
// be written, or memory runs out.
template <class Write>
bool writeAt(JsonNode* root, std::string_view path, Write&& write) {
    try {
        JsonNode* node = root == nullptr ? nullptr : resolveForWriting(root, splitPath(toUtf16(path)));
        if (node == nullptr)
            return false;
        return write(*node);
    } catch (const std::bad_alloc&) {
        return false;
    }
}

// ---- parser, writer, copy

struct ParseOutcome {
    int code = 0;
    size_t stop = 0;  // scanner position (UTF-16 units) where parsing ended
};
// Parses `text` into `root` (which must exist). See JsonDocument::parse for the results.
ParseOutcome parseInto(JsonNode& root, std::u16string_view text, bool decodeUnicodeEscapes);
// Appends the text of `node` (internal encoding) to `out`.
void writeNode(const JsonNode& node, bool pretty, bool escape, std::string& out);
// Appends `text` encoded, with the JSON escapes when `escape` is on.
void appendText(std::string& out, std::u16string_view text, bool escape);
NodePtr deepCopy(const JsonNode& source);

// Shared readers.
int memberNames(const JsonNode* node, std::vector<std::string>& names);

}  // namespace json
}  // namespace kestrum
