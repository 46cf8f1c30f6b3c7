// JsonDocument: a per-request tree over the shared node model (json_node.h).
#include "json/json_document.h"

#include <limits>
#include <new>

#include "json/json_node.h"
#include "util/encoding.h"

namespace kestrum {

namespace {

constexpr int kAllocationFailed = -3;

using json::findNode;

// atoi: leading white space, an optional sign, decimal digits up to the first other character; saturating.
int32_t readLikeAtoi(std::u16string_view text) {
    size_t i = 0;
    while (i < text.size() && (text[i] == u' ' || (text[i] >= u'\t' && text[i] <= u'\r')))
        ++i;
    return json::readIndex(text.substr(i));
}

}  // namespace

JsonDocument::JsonDocument() = default;
JsonDocument::~JsonDocument() = default;
JsonDocument::JsonDocument(JsonDocument&& other) noexcept = default;
JsonDocument& JsonDocument::operator=(JsonDocument&& other) noexcept = default;

bool JsonDocument::parse(std::string_view text, bool decodeUnicodeEscapes) {
    try {
        return parseUnits(json::valueToUtf16(text), text.size(), decodeUnicodeEscapes);
    } catch (const std::bad_alloc&) {
        return allocationFailed();
    }
}

bool JsonDocument::parseUtf8(std::string_view utf8, bool decodeUnicodeEscapes) {
    constexpr std::string_view kBom = "\xEF\xBB\xBF";
    if (utf8.starts_with(kBom))
        utf8.remove_prefix(kBom.size());
    try {
        return parseUnits(textToUtf16(utf8, CodePage::Utf8), utf8.size(), decodeUnicodeEscapes);
    } catch (const std::bad_alloc&) {
        return allocationFailed();
    }
}

bool JsonDocument::allocationFailed() {
    if (root_)
        json::resetNode(*root_, root_->type);
    lastError_ = kAllocationFailed;
    return false;
}

bool JsonDocument::parseUnits(std::u16string units, size_t textSize, bool decodeUnicodeEscapes) {
    try {
        if (!root_)
            root_ = std::make_unique<JsonNode>(JsonValueType::Object);
        if (units.empty()) {
            lastError_ = 0;
            return true;
        }
        lastError_ = json::parseInto(*root_, units, decodeUnicodeEscapes).code;
        sizeHint_ = textSize;
    } catch (const std::bad_alloc&) {
        return allocationFailed();
    }
    return lastError_ == 0;
}

std::string JsonDocument::toText(std::string_view path, bool pretty, bool escape) const {
    try {
        const JsonNode* node = findNode(root_.get(), path);
        if (node == nullptr)
            return {};
        std::string out;
        out.reserve(node == root_.get() ? sizeHint_ + 16 : 64);
        json::writeNode(*node, pretty, escape, out);
        return out;
    } catch (const std::bad_alloc&) {
        return {};
    }
}

int JsonDocument::typeAt(std::string_view path) const {
    const JsonNode* node = findNode(root_.get(), path);
    return node == nullptr ? -1 : static_cast<int>(node->type);
}

bool JsonDocument::has(std::string_view path) const {
    return findNode(root_.get(), path) != nullptr;
}

int64_t JsonDocument::size(std::string_view path) const {
    const JsonNode* node = findNode(root_.get(), path);
    if (node == nullptr || (node->type != JsonValueType::Array && node->type != JsonValueType::Object))
        return -1;
    return static_cast<int64_t>(node->items.size());
}

std::u16string_view JsonDocument::textUnits(std::string_view path, std::u16string& scratch) const {
    const JsonNode* node = findNode(root_.get(), path);
    if (node == nullptr)
        return {};
    switch (node->type) {
        case JsonValueType::Float:
            return scratch = json::formatDouble(node->number);
        case JsonValueType::Integer:
            return scratch = json::integerDigits(*node);
        case JsonValueType::Boolean:
            return node->boolean ? u"1" : u"0";
        case JsonValueType::String:
            return node->text;
        default:
            return {};
    }
}

std::string JsonDocument::getText(std::string_view path) const {
    std::u16string scratch;
    return json::fromUtf16(textUnits(path, scratch));
}

std::string JsonDocument::getTextUtf8(std::string_view path) const {
    std::u16string scratch;
    return utf16ToText(textUnits(path, scratch), CodePage::Utf8);
}

int32_t JsonDocument::getInt(std::string_view path) const {
    const JsonNode* node = findNode(root_.get(), path);
    if (node == nullptr)
        return 0;
    switch (node->type) {
        case JsonValueType::Integer:
            return static_cast<int32_t>(static_cast<uint32_t>(node->integer));
        case JsonValueType::String:
            return readLikeAtoi(node->text);
        case JsonValueType::Boolean:
            return node->boolean ? 1 : 0;
        default:
            return 0;  // a Float included
    }
}

int64_t JsonDocument::getInt64(std::string_view path) const {
    const JsonNode* node = findNode(root_.get(), path);
    if (node == nullptr)
        return 0;
    if (node->type == JsonValueType::Integer)
        return json::integerValue(*node);
    if (node->type == JsonValueType::Float)
        return json::truncateToInt64(node->number);
    return 0;
}

double JsonDocument::getDouble(std::string_view path) const {
    const JsonNode* node = findNode(root_.get(), path);
    if (node == nullptr)
        return 0.0;
    if (node->type == JsonValueType::Float)
        return node->number;
    if (node->type == JsonValueType::Integer)
        return node->unsignedInteger ? static_cast<double>(static_cast<uint64_t>(node->integer))
                                     : static_cast<double>(node->integer);
    return 0.0;
}

bool JsonDocument::getBool(std::string_view path) const {
    const JsonNode* node = findNode(root_.get(), path);
    return node != nullptr && node->type == JsonValueType::Boolean && node->boolean;
}

bool JsonDocument::setText(std::string_view path, std::string_view text) {
    return json::writeAt(root_.get(), path, [&](JsonNode& node) {
        json::setStringValue(node, json::valueToUtf16(text));
        return true;
    });
}

bool JsonDocument::setInt64(std::string_view path, int64_t value) {
    return json::writeAt(root_.get(), path, [&](JsonNode& node) {
        json::setIntegerValue(node, value);
        return true;
    });
}

bool JsonDocument::setUint64(std::string_view path, uint64_t value) {
    return json::writeAt(root_.get(), path, [&](JsonNode& node) {
        json::setUnsignedValue(node, value);
        return true;
    });
}

bool JsonDocument::setDouble(std::string_view path, double value) {
    return json::writeAt(root_.get(), path, [&](JsonNode& node) {
        json::setFloatValue(node, value);
        return true;
    });
}

bool JsonDocument::setNumber(std::string_view path, double value, std::string_view digits) {
    return json::writeAt(root_.get(), path, [&](JsonNode& node) {
        json::setFloatValue(node, value);
        node.text = json::toUtf16(digits);
        node.givenText = true;
        return true;
    });
}

bool JsonDocument::setNull(std::string_view path) {
    return json::writeAt(root_.get(), path, [&](JsonNode& node) {
        json::resetNode(node, JsonValueType::Null);
        node.text = u"null";
        return true;
    });
}

bool JsonDocument::setDocument(std::string_view path, std::string_view key, const JsonDocument& other) {
    return json::writeAt(root_.get(), path, [&](JsonNode& node) {
        if (!other.root_)
            return false;
        // Copy before touching the target: `other` may be this very document.
        json::NodePtr copy = json::deepCopy(*other.root_);
        if (node.type != JsonValueType::Object)
            json::resetNode(node, JsonValueType::Object);
        json::putMember(node, json::toUtf16(key), std::move(copy));
        return true;
    });
}

int JsonDocument::memberNames(std::string_view path, std::vector<std::string>& names) const {
    return json::memberNames(findNode(root_.get(), path), names);
}

void JsonDocument::clear() {
    root_.reset();
    lastError_ = 0;
}

}  // namespace kestrum
