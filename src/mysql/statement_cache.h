// The prepared statements of one connection, by their text, least recently used first out.
//
// The cache only keeps handles: the connection's owner prepares and closes them (with the non-blocking
// calls) and empties the cache whenever the server forgets them (a session reset, a new connection).
#pragma once

#include <mysql.h>

#include <cstddef>
#include <list>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

namespace kestrum {

class StatementCache {
  public:
    explicit StatementCache(size_t capacity = 64) : capacity_(capacity) {}
    StatementCache(const StatementCache&) = delete;
    StatementCache& operator=(const StatementCache&) = delete;

    // Returns the handles a smaller capacity pushes out (least recently used first); the caller closes them.
    std::vector<MYSQL_STMT*> setCapacity(size_t capacity);
    size_t capacity() const { return capacity_; }
    size_t size() const { return order_.size(); }

    // The handle prepared for `text`, now the most recently used; null when there is none.
    MYSQL_STMT* find(const std::string& text);
    // Keeps `stmt` for `text` (which must not be cached yet). Returns the handle the caller has to close: the
    // least recently used one when the cache was full, `stmt` itself when the capacity is 0, else null.
    MYSQL_STMT* add(std::string text, MYSQL_STMT* stmt);
    // Forgets `stmt` (a statement that can no longer be used); the caller closes it.
    void remove(MYSQL_STMT* stmt);
    // Forgets every handle and returns them, most recently used first.
    std::vector<MYSQL_STMT*> takeAll();

  private:
    using Entry = std::pair<std::string, MYSQL_STMT*>;
    size_t capacity_;
    std::list<Entry> order_;  // most recently used first
    std::unordered_map<std::string_view, std::list<Entry>::iterator> byText_;
};

}  // namespace kestrum
