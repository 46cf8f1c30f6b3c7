#include "mysql/statement_cache.h"

namespace kestrum {

std::vector<MYSQL_STMT*> StatementCache::setCapacity(size_t capacity) {
    capacity_ = capacity;
    std::vector<MYSQL_STMT*> evicted;
    while (order_.size() > capacity_) {
        evicted.push_back(order_.back().second);
        byText_.erase(order_.back().first);
        order_.pop_back();
    }
    return evicted;
}

MYSQL_STMT* StatementCache::find(const std::string& text) {
    auto it = byText_.find(text);
    if (it == byText_.end())
        return nullptr;
    order_.splice(order_.begin(), order_, it->second);
    return it->second->second;
}

MYSQL_STMT* StatementCache::add(std::string text, MYSQL_STMT* stmt) {
    if (capacity_ == 0)
        return stmt;
    MYSQL_STMT* evicted = nullptr;
    if (order_.size() >= capacity_) {
        evicted = order_.back().second;
        byText_.erase(order_.back().first);
        order_.pop_back();
    }
    order_.emplace_front(std::move(text), stmt);
    byText_.emplace(order_.front().first, order_.begin());
    return evicted;
}

void StatementCache::remove(MYSQL_STMT* stmt) {
    for (auto it = order_.begin(); it != order_.end(); ++it) {
        if (it->second == stmt) {
            byText_.erase(it->first);
            order_.erase(it);
            return;
        }
    }
}

std::vector<MYSQL_STMT*> StatementCache::takeAll() {
    std::vector<MYSQL_STMT*> all;
    all.reserve(order_.size());
    for (const Entry& entry : order_)
        all.push_back(entry.second);
    order_.clear();
    byText_.clear();
    return all;
}

}  // namespace kestrum
