#include "json/json_document.h"

#include "json/json_node.h"

namespace kestrum {

JsonDocument::JsonDocument() = default;
JsonDocument::~JsonDocument() = default;
JsonDocument::JsonDocument(JsonDocument&& other) noexcept = default;
JsonDocument& JsonDocument::operator=(JsonDocument&& other) noexcept = default;

bool JsonDocument::parse(std::string_view, bool) {
    return false;
}
std::string JsonDocument::toText(std::string_view, bool, bool) const {
    return {};
}
int JsonDocument::typeAt(std::string_view) const {
    return -1;
}
std::string JsonDocument::getText(std::string_view) const {
    return {};
}
int32_t JsonDocument::getInt(std::string_view) const {
    return 0;
}
int64_t JsonDocument::getInt64(std::string_view) const {
    return 0;
}
double JsonDocument::getDouble(std::string_view) const {
    return 0;
}
bool JsonDocument::getBool(std::string_view) const {
    return false;
}
bool JsonDocument::setText(std::string_view, std::string_view) {
    return false;
}
bool JsonDocument::setInt64(std::string_view, int64_t) {
    return false;
}
bool JsonDocument::setDouble(std::string_view, double) {
    return false;
}
bool JsonDocument::setDocument(std::string_view, std::string_view, const JsonDocument&) {
    return false;
}
int JsonDocument::memberNames(std::string_view, std::vector<std::string>& names) const {
    names.clear();
    return 0;
}
void JsonDocument::clear() {
    root_.reset();
}

}  // namespace kestrum
