#include "json/json_store.h"

#include "json/json_node.h"

namespace kestrum {

JsonStore::JsonStore() = default;
JsonStore::~JsonStore() = default;
JsonStore::JsonStore(JsonStore&& other) noexcept = default;
JsonStore& JsonStore::operator=(JsonStore&& other) noexcept = default;

bool JsonStore::load(std::optional<std::string_view>, bool, int*, size_t*) {
    return false;
}
std::string JsonStore::toText(std::string_view, bool, bool, int) const {
    return {};
}
std::string JsonStore::getText(std::string_view) const {
    return {};
}
int32_t JsonStore::getInt(std::string_view) const {
    return 0;
}
bool JsonStore::setText(std::string_view, std::string_view) {
    return false;
}
bool JsonStore::setInt(std::string_view, int32_t) {
    return false;
}
bool JsonStore::exists(std::string_view) const {
    return false;
}
bool JsonStore::removeMember(std::string_view, std::string_view) {
    return false;
}
int JsonStore::memberNames(std::string_view, std::vector<std::string>& names) const {
    names.clear();
    return 0;
}

}  // namespace kestrum
