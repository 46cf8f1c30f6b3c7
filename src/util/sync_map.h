// SyncMap: a text-to-text hash table behind one lock (16 buckets, load factor 0.75 at creation).
#pragma once

#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>

namespace kestrum {

class SyncMap {
  public:
    SyncMap() {
        map_.max_load_factor(0.75f);
        map_.rehash(16);
    }
    SyncMap(const SyncMap&) = delete;
    SyncMap& operator=(const SyncMap&) = delete;

    void set(const std::string& key, std::string value) {
        std::lock_guard lock(mutex_);
        map_.insert_or_assign(key, std::move(value));
    }
    std::optional<std::string> get(const std::string& key) const {
        std::lock_guard lock(mutex_);
        auto it = map_.find(key);
        if (it == map_.end())
            return std::nullopt;
        return it->second;
    }
    bool contains(const std::string& key) const {
        std::lock_guard lock(mutex_);
        return map_.count(key) != 0;
    }
    bool remove(const std::string& key) {
        std::lock_guard lock(mutex_);
        return map_.erase(key) != 0;
    }
    void clear() {
        std::lock_guard lock(mutex_);
        map_.clear();
    }
    size_t size() const {
        std::lock_guard lock(mutex_);
        return map_.size();
    }

  private:
    mutable std::mutex mutex_;
    std::unordered_map<std::string, std::string> map_;
};

}  // namespace kestrum
