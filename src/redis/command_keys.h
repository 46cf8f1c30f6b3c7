// Which arguments of a Redis command are keys, learnt from the server's own command table (the reply of
// COMMAND), so that a caller's key patterns can be checked against every key a command touches.
//
// Each command (and each sub-command of a container like OBJECT or XINFO) has a first key, a last key
// (negative: counted from the end) and a step, and the flag "movablekeys" when its keys cannot be found that
// way (EVAL, SORT ... STORE, MIGRATE, XREAD, ZUNIONSTORE ...). Such a command reports kMovable: its keys are
// unknown.
//
// Read once per connection set at start-up; afterwards const and safe from any thread.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

struct redisReply;

namespace kestrum {

class RedisKeyTable {
  public:
    enum class Keys {
        kFound,    // `keys` holds the argument positions of every key (possibly none)
        kMovable,  // the command's keys cannot be told from its table entry
        kUnknown,  // the server does not know the command (or the sub-command of a container)
    };

    // Fills the table from the reply of COMMAND: an array with one entry per command. False, and an empty
    // table, when the reply is not such an array.
    bool load(const redisReply* reply);
    bool empty() const { return commands_.empty(); }
    size_t size() const { return commands_.size(); }

    // The positions in `words` (words[0] is the command name; names in any case) of the keys it touches.
    Keys keys(const std::vector<std::string>& words, std::vector<size_t>& positions) const;

  private:
    struct Entry {
        int firstKey = 0;
        int lastKey = 0;
        int step = 0;
        bool movable = false;
        bool container = false;  // has sub-commands: "name|sub" entries hold the keys
    };
    static bool readEntry(const redisReply* reply, std::string& name, Entry& entry);
    void add(const redisReply* reply);

    std::unordered_map<std::string, Entry> commands_;  // lower-case name, or "container|sub"
};

// Asks the server at `host`:`port` (AUTH with `password` when it is set) for its command table, on a
// connection of its own that waits at most `timeoutMs` for each step. Blocks: start-up only, never on a
// network thread. False when the server cannot be reached or gives no table.
bool fetchRedisKeyTable(const std::string& host, int port, const std::string& password, int timeoutMs,
                        RedisKeyTable& table);

}  // namespace kestrum
