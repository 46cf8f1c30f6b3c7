// The node model shared by JsonDocument and JsonStore: boundary conversions, node content, the Object member
// table, paths and the deep copy.
#include "json/json_node.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <random>

#include "util/encoding.h"

namespace kestrum {

JsonNode::~JsonNode() {
    // Children are freed from an explicit list so that a deeply nested tree cannot exhaust the native stack:
    // every node reaching its destructor from here has already handed its own children over.
    if (items.empty())
        return;
    std::vector<std::unique_ptr<JsonNode>> pending = std::move(items);
    items.clear();
    while (!pending.empty()) {
        std::unique_ptr<JsonNode> node = std::move(pending.back());
        pending.pop_back();
        for (auto& child : node->items)
            pending.push_back(std::move(child));
        node->items.clear();
    }
}

namespace json {
namespace {

constexpr size_t kInitialBuckets = 11;
constexpr size_t kInitialListCapacity = 8;

// Writing "[n]" appends Null elements up to n. A path may extend an Array by at most this many elements
// beyond its current end, so that a stray large index fails instead of allocating without bound.
constexpr int64_t kMaxIndexGap = 65536;

size_t bucketOf(uint32_t hash, size_t bucketCount) {
    return hash % bucketCount;
}

void linkIntoBucket(JsonNode& object, JsonNode* node) {
    JsonNode*& head = object.buckets[bucketOf(node->keyHash, object.buckets.size())];
    node->nextInBucket = head;
    head = node;
}

void unlinkFromBucket(JsonNode& object, JsonNode* node) {
    JsonNode** link = &object.buckets[bucketOf(node->keyHash, object.buckets.size())];
    while (*link != nullptr && *link != node)
        link = &(*link)->nextInBucket;
    if (*link == node)
        *link = node->nextInBucket;
    node->nextInBucket = nullptr;
}

void growBuckets(JsonNode& object) {
    size_t count = object.buckets.size() * 2 + 1;
    object.buckets.assign(count, nullptr);
    for (auto& member : object.items)
        linkIntoBucket(object, member.get());
}

// A chain this long under a load factor of 0.75 does not happen by chance: the keys were chosen to collide.
constexpr size_t kSuspectChain = 48;

uint32_t memberHash(const JsonNode& object, std::u16string_view key) {
    return object.keyedHash ? keyedHash(key) : keyHash(key);
}

JsonNode* findMemberHashed(const JsonNode& object, std::u16string_view key, uint32_t hash,
                           size_t* walked = nullptr) {
    if (object.buckets.empty())
        return nullptr;
    size_t steps = 0;
    for (JsonNode* node = object.buckets[bucketOf(hash, object.buckets.size())]; node != nullptr;
         node = node->nextInBucket) {
        ++steps;
        if (node->keyHash == hash && node->key == key)
            return node;
    }
    if (walked != nullptr)
        *walked = steps;
    return nullptr;
}

// Rehashes every member with the keyed hash, whose collisions cannot be chosen from outside.
void switchToKeyedHash(JsonNode& object) {
    object.keyedHash = true;
    std::fill(object.buckets.begin(), object.buckets.end(), nullptr);
    for (auto& member : object.items) {
        member->keyHash = keyedHash(member->key);
        linkIntoBucket(object, member.get());
    }
}

uint64_t rotl(uint64_t x, int b) {
    return (x << b) | (x >> (64 - b));
}

struct SipKey {
    uint64_t k0;
    uint64_t k1;
};

const SipKey& sipKey() {
    static const SipKey key = [] {
        std::random_device device;
        auto draw = [&device] { return (uint64_t{device()} << 32) | device(); };
        return SipKey{draw(), draw()};
    }();
    return key;
}

bool isAsciiUnits(std::u16string_view text) {
    for (char16_t unit : text) {
        if (unit >= 0x80)
            return false;
    }
    return true;
}

}  // namespace

// ---- boundary conversions

std::u16string toUtf16(std::string_view text) {
    size_t end = text.find('\0');
    if (end != std::string_view::npos)
        text = text.substr(0, end);
    return textToUtf16(text, CodePage::Gbk);
}

std::u16string valueToUtf16(std::string_view text) {
    return textToUtf16(text, CodePage::Gbk);
}

std::string fromUtf16(std::u16string_view text) {
    return utf16ToText(text, CodePage::Gbk);
}

size_t encodedLength(std::u16string_view text) {
    if (isAsciiUnits(text))
        return text.size();
    return fromUtf16(text).size();
}

// ---- node content

void resetNode(JsonNode& node, JsonValueType type) {
    std::vector<NodePtr> children = std::move(node.items);  // freed at the end of this scope
    node.items.clear();
    node.buckets.clear();
    node.keyedHash = false;
    node.text.clear();
    node.boolean = false;
    node.integer = 0;
    node.unsignedInteger = false;
    node.number = 0.0;
    node.givenText = false;
    node.type = type;
}

void setIntegerValue(JsonNode& node, int64_t value) {
    resetNode(node, JsonValueType::Integer);
    node.integer = value;
    node.text = formatInteger(value);
}

void setUnsignedValue(JsonNode& node, uint64_t value) {
    if (value <= static_cast<uint64_t>(INT64_MAX)) {
        setIntegerValue(node, static_cast<int64_t>(value));
        return;
    }
    resetNode(node, JsonValueType::Integer);
    node.integer = static_cast<int64_t>(value);
    node.unsignedInteger = true;
    node.text = integerDigits(node);
}

void setFloatValue(JsonNode& node, double value) {
    resetNode(node, JsonValueType::Float);
    node.number = value;
    node.text = formatDouble(value);
}

void setStringValue(JsonNode& node, std::u16string text) {
    resetNode(node, JsonValueType::String);
    node.text = std::move(text);
}

std::u16string formatInteger(int64_t value) {
    char buffer[32];
    int length = std::snprintf(buffer, sizeof buffer, "%lld", static_cast<long long>(value));
    return std::u16string(buffer, buffer + length);
}

std::u16string integerDigits(const JsonNode& node) {
    if (!node.unsignedInteger)
        return formatInteger(node.integer);
    char buffer[32];
    int length = std::snprintf(buffer, sizeof buffer, "%llu",
                               static_cast<unsigned long long>(static_cast<uint64_t>(node.integer)));
    return std::u16string(buffer, buffer + length);
}

int64_t integerValue(const JsonNode& node) {
    return node.unsignedInteger ? INT64_MAX : node.integer;
}

std::u16string formatDouble(double value) {
    char buffer[64];
    int length = std::snprintf(buffer, sizeof buffer, "%.13g", value);
    std::u16string out(buffer, buffer + length);
    // The C library writes at least two exponent digits; the program's texts always carry three (1e+020).
    size_t e = out.find(u'e');
    if (e != std::u16string::npos && e + 1 < out.size()) {
        size_t digits = out.size() - (e + 2);
        if (digits < 3)
            out.insert(e + 2, 3 - digits, u'0');
    }
    return out;
}

int64_t truncateToInt64(double value) {
    if (std::isnan(value))
        return 0;
    // 2^63 is exact as a double; anything at or beyond it (or below -2^63) saturates.
    if (value >= 9223372036854775808.0)
        return std::numeric_limits<int64_t>::max();
    if (value < -9223372036854775808.0)
        return std::numeric_limits<int64_t>::min();
    return static_cast<int64_t>(value);
}

// ---- member table

uint32_t keyHash(std::u16string_view key) {
    // Over the key's UTF-16LE bytes from the last byte to the first.
    uint32_t hash = 0;
    for (size_t i = key.size(); i-- > 0;) {
        uint32_t unit = key[i];
        hash = hash * 31 + (unit >> 8);
        hash = hash * 31 + (unit & 0xFF);
    }
    return hash & 0x7FFFFFFF;
}

uint32_t keyedHash(std::u16string_view key) {
    const SipKey& k = sipKey();
    uint64_t v0 = 0x736f6d6570736575ULL ^ k.k0;
    uint64_t v1 = 0x646f72616e646f6dULL ^ k.k1;
    uint64_t v2 = 0x6c7967656e657261ULL ^ k.k0;
    uint64_t v3 = 0x7465646279746573ULL ^ k.k1;
    auto round = [&] {
        v0 += v1;
        v1 = rotl(v1, 13);
        v1 ^= v0;
        v0 = rotl(v0, 32);
        v2 += v3;
        v3 = rotl(v3, 16);
        v3 ^= v2;
        v0 += v3;
        v3 = rotl(v3, 21);
        v3 ^= v0;
        v2 += v1;
        v1 = rotl(v1, 17);
        v1 ^= v2;
        v2 = rotl(v2, 32);
    };
    const size_t bytes = key.size() * 2;
    auto byteAt = [&key](size_t i) -> uint64_t {
        return i % 2 == 0 ? (key[i / 2] & 0xFF) : (key[i / 2] >> 8);
    };
    size_t i = 0;
    for (; i + 8 <= bytes; i += 8) {
        uint64_t m = 0;
        for (size_t b = 0; b < 8; ++b)
            m |= byteAt(i + b) << (8 * b);
        v3 ^= m;
        round();
        round();
        v0 ^= m;
    }
    uint64_t last = uint64_t{bytes & 0xFF} << 56;
    for (size_t b = 0; i + b < bytes; ++b)
        last |= byteAt(i + b) << (8 * b);
    v3 ^= last;
    round();
    round();
    v0 ^= last;
    v2 ^= 0xFF;
    for (int r = 0; r < 4; ++r)
        round();
    return static_cast<uint32_t>(v0 ^ v1 ^ v2 ^ v3) & 0x7FFFFFFF;
}

JsonNode* findMember(const JsonNode& object, std::u16string_view key) {
    return findMemberHashed(object, key, memberHash(object, key));
}

JsonNode* putMember(JsonNode& object, std::u16string key, NodePtr member) {
    uint32_t hash = memberHash(object, key);
    size_t walked = 0;
    JsonNode* old = findMemberHashed(object, key, hash, &walked);
    if (old == nullptr && walked >= kSuspectChain && !object.keyedHash) {
        switchToKeyedHash(object);
        hash = keyedHash(key);
    }
    JsonNode* raw = member.get();
    raw->key = std::move(key);
    raw->keyHash = hash;
    raw->parent = &object;
    raw->nextInBucket = nullptr;
    if (old != nullptr) {
        // Same key: the new node takes the old one's place in the member order.
        raw->slot = old->slot;
        unlinkFromBucket(object, old);
        linkIntoBucket(object, raw);
        object.items[raw->slot] = std::move(member);
        return raw;
    }
    if (object.buckets.empty())
        object.buckets.assign(kInitialBuckets, nullptr);
    else if (object.items.size() >= object.buckets.size() * 3 / 4)
        growBuckets(object);
    raw->slot = static_cast<uint32_t>(object.items.size());
    if (object.items.empty())
        object.items.reserve(kInitialListCapacity);
    object.items.push_back(std::move(member));
    linkIntoBucket(object, raw);
    return raw;
}

bool eraseMember(JsonNode& object, std::u16string_view key) {
    JsonNode* node = findMember(object, key);
    if (node == nullptr)
        return false;
    unlinkFromBucket(object, node);
    size_t slot = node->slot;
    object.items.erase(object.items.begin() + static_cast<std::ptrdiff_t>(slot));
    for (size_t i = slot; i < object.items.size(); ++i)
        object.items[i]->slot = static_cast<uint32_t>(i);
    return true;
}

JsonNode* appendElement(JsonNode& array, NodePtr element) {
    JsonNode* raw = element.get();
    raw->parent = &array;
    raw->slot = static_cast<uint32_t>(array.items.size());
    if (array.items.empty())
        array.items.reserve(kInitialListCapacity);
    array.items.push_back(std::move(element));
    return raw;
}

// ---- paths

int32_t readIndex(std::u16string_view text) {
    size_t i = 0;
    bool negative = false;
    if (i < text.size() && (text[i] == u'-' || text[i] == u'+')) {
        negative = text[i] == u'-';
        ++i;
    }
    int64_t value = 0;
    for (; i < text.size() && text[i] >= u'0' && text[i] <= u'9'; ++i) {
        value = value * 10 + (text[i] - u'0');
        if (value > std::numeric_limits<int32_t>::max())
            value = int64_t{std::numeric_limits<int32_t>::max()} + 1;  // saturate, keep room for INT32_MIN
    }
    if (negative)
        value = -value;
    if (value > std::numeric_limits<int32_t>::max())
        return std::numeric_limits<int32_t>::max();
    return static_cast<int32_t>(value);
}

std::vector<PathSegment> splitPath(std::u16string_view path) {
    std::vector<PathSegment> segments;
    std::u16string name;
    bool indexOpened = false;
    size_t indexStart = 0;
    auto flushName = [&] {
        if (!name.empty()) {
            PathSegment segment;
            segment.name = std::move(name);
            segments.push_back(std::move(segment));
            name.clear();
        }
    };
    for (size_t i = 0; i < path.size(); ++i) {
        char16_t c = path[i];
        if (c == u'\\' && i + 1 < path.size()) {
            char16_t next = path[i + 1];
            if (next == u'.' || next == u'[' || next == u']' || next == u'\\') {
                name.push_back(next);
                ++i;
                continue;
            }
        }
        if (c == u'.') {
            flushName();
        } else if (c == u'[') {
            flushName();
            indexOpened = true;
            indexStart = i + 1;
        } else if (c == u']' && indexOpened) {
            PathSegment segment;
            segment.isIndex = true;
            segment.index = readIndex(path.substr(indexStart, i - indexStart));
            segments.push_back(std::move(segment));
            name.clear();  // the index text itself
        } else {
            name.push_back(c);
        }
    }
    flushName();
    return segments;
}

const JsonNode* resolveForReading(const JsonNode* root, const std::vector<PathSegment>& segments) {
    const JsonNode* node = root;
    for (const PathSegment& segment : segments) {
        if (node == nullptr)
            return nullptr;
        if (!segment.isIndex) {
            node = node->type == JsonValueType::Object ? findMember(*node, segment.name) : nullptr;
            continue;
        }
        if (node->type != JsonValueType::Array && node->type != JsonValueType::Object)
            return nullptr;
        if (segment.index < 0 || static_cast<size_t>(segment.index) >= node->items.size())
            return nullptr;
        node = node->items[static_cast<size_t>(segment.index)].get();
    }
    return node;
}

JsonNode* resolveForWriting(JsonNode* root, const std::vector<PathSegment>& segments) {
    if (root == nullptr)
        return nullptr;
    // First a dry run over what exists, so that a path that cannot be written changes nothing.
    const JsonNode* existing = root;
    for (const PathSegment& segment : segments) {
        if (!segment.isIndex) {
            existing = existing != nullptr && existing->type == JsonValueType::Object
                           ? findMember(*existing, segment.name)
                           : nullptr;
            continue;
        }
        int64_t count = existing != nullptr && existing->type == JsonValueType::Array
                            ? static_cast<int64_t>(existing->items.size())
                            : 0;
        if (segment.index < 0 || segment.index - count > kMaxIndexGap)
            return nullptr;
        existing =
            segment.index < count ? existing->items[static_cast<size_t>(segment.index)].get() : nullptr;
    }

    JsonNode* node = root;
    for (const PathSegment& segment : segments) {
        if (!segment.isIndex) {
            if (node->type != JsonValueType::Object)
                resetNode(*node, JsonValueType::Object);
            JsonNode* member = findMember(*node, segment.name);
            if (member == nullptr)
                member = putMember(*node, segment.name, std::make_unique<JsonNode>(JsonValueType::Null));
            node = member;
            continue;
        }
        if (node->type != JsonValueType::Array)
            resetNode(*node, JsonValueType::Array);
        size_t index = static_cast<size_t>(segment.index);
        while (node->items.size() <= index)
            appendElement(*node, std::make_unique<JsonNode>(JsonValueType::Null));
        node = node->items[index].get();
    }
    return node;
}

// ---- copy and shared readers

namespace {

// Copies one node without its children. Numbers are copied by value and get a fresh text.
NodePtr copyShallow(const JsonNode& source) {
    auto copy = std::make_unique<JsonNode>(source.type);
    switch (source.type) {
        case JsonValueType::Float:
            setFloatValue(*copy, source.number);
            if (source.givenText) {
                copy->text = source.text;
                copy->givenText = true;
            }
            break;
        case JsonValueType::Integer:
            if (source.unsignedInteger)
                setUnsignedValue(*copy, static_cast<uint64_t>(source.integer));
            else
                setIntegerValue(*copy, source.integer);
            break;
        case JsonValueType::Null:
        case JsonValueType::Boolean:
        case JsonValueType::String:
        case JsonValueType::Literal:
            copy->boolean = source.boolean;
            copy->text = source.text;
            break;
        default:
            break;
    }
    return copy;
}

}  // namespace

NodePtr deepCopy(const JsonNode& source) {
    NodePtr root = copyShallow(source);
    std::vector<std::pair<const JsonNode*, JsonNode*>> pending;
    if (!source.items.empty())
        pending.emplace_back(&source, root.get());
    while (!pending.empty()) {
        auto [from, to] = pending.back();
        pending.pop_back();
        for (const auto& child : from->items) {
            NodePtr copy = copyShallow(*child);
            JsonNode* placed = from->type == JsonValueType::Array
                                   ? appendElement(*to, std::move(copy))
                                   : putMember(*to, child->key, std::move(copy));
            if (!child->items.empty())
                pending.emplace_back(child.get(), placed);
        }
    }
    return root;
}

int memberNames(const JsonNode* node, std::vector<std::string>& names) {
    names.clear();
    if (node == nullptr || node->type != JsonValueType::Object)
        return 0;
    names.reserve(node->items.size());
    for (const auto& member : node->items)
        names.push_back(fromUtf16(member->key));
    return static_cast<int>(names.size());
}

const JsonNode* findNode(const JsonNode* root, std::string_view path) {
    if (root == nullptr)
        return nullptr;
    if (path.empty())
        return root;
    return resolveForReading(root, splitPath(toUtf16(path)));
}

}  // namespace json
}  // namespace kestrum
