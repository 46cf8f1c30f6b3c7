// JsonStore: the long-lived tree of the task registry, over the same node model, parser and writer as
// JsonDocument.
//
// Where the store differs from JsonDocument (all of it is in this file):
//   - load() always starts from a new empty Object root, decodes "\uXXXX" escapes by default and reports
//   where the
//     scanner stopped;
//   - getText() answers the stored text of numbers and booleans ("true"/"false", a number as it was written
//   or set),
//     where the document reformats numbers and answers "1"/"0";
//   - getInt() truncates a Float and reads a String as an optional sign followed by digits (no leading
//   blanks),
//     where the document answers 0 for a Float and reads a String like atoi;
//   - setInt() is the only numeric setter (32-bit, stored as an Integer);
//   - exists() and removeMember() exist only here.
#include "json/json_store.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <new>

#include "json/json_node.h"

namespace kestrum {

namespace {

constexpr int kAllocationFailed = -3;

using json::findNode;

int32_t truncateToInt32(double value) {
    if (std::isnan(value))
        return 0;
    if (value >= 2147483648.0)
        return std::numeric_limits<int32_t>::max();
    if (value <= -2147483649.0)
        return std::numeric_limits<int32_t>::min();
    return static_cast<int32_t>(value);
}

}  // namespace

JsonStore::JsonStore() = default;
JsonStore::~JsonStore() = default;
JsonStore::JsonStore(JsonStore&& other) noexcept = default;
JsonStore& JsonStore::operator=(JsonStore&& other) noexcept = default;

bool JsonStore::load(std::optional<std::string_view> text, bool decodeUnicodeEscapes, int* resultCode,
                     size_t* stopPosition) {
    int code = 0;
    size_t stop = 0;
    try {
        root_.reset();
        root_ = std::make_unique<JsonNode>(JsonValueType::Object);
        if (text) {
            std::u16string units = json::toUtf16(*text);
            if (!units.empty()) {
                json::ParseOutcome outcome = json::parseInto(*root_, units, decodeUnicodeEscapes);
                code = outcome.code;
                // Undecodable bytes come back longer than they went in, hence the bound.
                stop = std::min(json::encodedLength(std::u16string_view(units).substr(0, outcome.stop)),
                                text->size());
            }
        }
    } catch (const std::bad_alloc&) {
        if (root_)
            json::resetNode(*root_, root_->type);
        code = kAllocationFailed;
    }
    if (resultCode != nullptr)
        *resultCode = code;
    if (stopPosition != nullptr)
        *stopPosition = stop;
    return code == 0;
}

std::string JsonStore::toText(std::string_view path, bool pretty, bool escape, int initialCapacity) const {
    try {
        const JsonNode* node = findNode(root_.get(), path);
        if (node == nullptr)
            return {};
        std::string out;
        out.reserve(static_cast<size_t>(initialCapacity > 0 ? initialCapacity : 1024));
        json::writeNode(*node, pretty, escape, out);
        return out;
    } catch (const std::bad_alloc&) {
        return {};
    }
}

std::string JsonStore::getText(std::string_view path) const {
    const JsonNode* node = findNode(root_.get(), path);
    if (node == nullptr)
        return {};
    switch (node->type) {
        case JsonValueType::Float:
        case JsonValueType::Integer:
        case JsonValueType::Boolean:
        case JsonValueType::String:
            return json::fromUtf16(node->text);
        default:
            return {};
    }
}

int32_t JsonStore::getInt(std::string_view path) const {
    const JsonNode* node = findNode(root_.get(), path);
    if (node == nullptr)
        return 0;
    switch (node->type) {
        case JsonValueType::Float:
            return truncateToInt32(node->number);
        case JsonValueType::Integer:
            return static_cast<int32_t>(static_cast<uint32_t>(node->integer));
        case JsonValueType::Boolean:
            return node->boolean ? 1 : 0;
        case JsonValueType::String:
            return json::readIndex(node->text);
        default:
            return 0;
    }
}

bool JsonStore::setText(std::string_view path, std::string_view text) {
    return json::writeAt(root_.get(), path, [&](JsonNode& node) {
        json::setStringValue(node, json::toUtf16(text));
        return true;
    });
}

bool JsonStore::setInt(std::string_view path, int32_t value) {
    return json::writeAt(root_.get(), path, [&](JsonNode& node) {
        json::setIntegerValue(node, value);
        return true;
    });
}

bool JsonStore::exists(std::string_view path) const {
    if (!root_)
        return false;
    std::vector<json::PathSegment> segments = json::splitPath(json::toUtf16(path));
    return !segments.empty() && json::resolveForReading(root_.get(), segments) != nullptr;
}

bool JsonStore::removeMember(std::string_view path, std::string_view key) {
    return json::writeAt(root_.get(), path, [&](JsonNode& node) {
        return node.type == JsonValueType::Object && json::eraseMember(node, json::toUtf16(key));
    });
}

int JsonStore::memberNames(std::string_view path, std::vector<std::string>& names) const {
    return json::memberNames(findNode(root_.get(), path), names);
}

}  // namespace kestrum
