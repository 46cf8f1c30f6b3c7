// JsonStore: one long-lived JSON tree edited in place (the scheduler's task registry lives in one).
//
// It shares the document model, paths, parser and writer with JsonDocument. It differs in its conversions:
// getText answers the stored text of numbers and booleans ("true"/"false", a number as it was written),
// getInt truncates a Float and reads a String as an optional sign followed by digits. load() always starts
// over from a new empty Object.
//
// The store takes no lock; callers serialise access. No operation throws.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kestrum {

struct JsonNode;

class JsonStore {
  public:
    JsonStore();
    ~JsonStore();
    JsonStore(JsonStore&& other) noexcept;
    JsonStore& operator=(JsonStore&& other) noexcept;
    JsonStore(const JsonStore&) = delete;
    JsonStore& operator=(const JsonStore&) = delete;

    // Replaces the tree by a new empty Object and, when `text` is given, parses it into that root.
    // `resultCode` receives the parse result (0 on success, the codes of JsonDocument::parse otherwise);
    // `stopPosition` the byte offset in `text` where scanning stopped.
    bool load(std::optional<std::string_view> text = std::nullopt, bool decodeUnicodeEscapes = true,
              int* resultCode = nullptr, size_t* stopPosition = nullptr);
    bool hasRoot() const { return root_ != nullptr; }

    // As JsonDocument::toText; `initialCapacity` only sizes the first output buffer (1024 when 0 or less).
    std::string toText(std::string_view path = {}, bool pretty = false, bool escape = true,
                       int initialCapacity = 1024) const;

    std::string getText(std::string_view path) const;
    int32_t getInt(std::string_view path) const;

    // Setters, exists and removeMember return false and create nothing on a store without a root.
    bool setText(std::string_view path, std::string_view text);
    bool setInt(std::string_view path, int32_t value);
    // True when every segment of `path` resolves; false for the empty path and paths without segments.
    bool exists(std::string_view path) const;
    // Removes member `key` of the Object at `path` (the path is created as for a setter). False when the node
    // is not an Object or holds no such key.
    bool removeMember(std::string_view path, std::string_view key);
    int memberNames(std::string_view path, std::vector<std::string>& names) const;

  private:
    std::unique_ptr<JsonNode> root_;
};

}  // namespace kestrum
