// Which Redis commands may share a pipelined connection: the one table of commands that block the connection
// they run on and of commands that change its state, and the configurable deny list of /order.
//
// Every command of the gateway goes through a connection that other callers' commands are pipelined on. A
// command that blocks (BLPOP k 0) would hold up everything queued behind it, so it runs on a connection of
// its own that is closed after the reply. A command that changes the connection (SELECT 1, MULTI, SUBSCRIBE,
// CLIENT REPLY OFF, ...) would change what every later caller's command does, so it is refused before
// anything is sent. The table lives in command_rules.cpp.
#pragma once

#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

namespace kestrum {

enum class CommandKind {
    kShared,    // runs pipelined on a shared connection
    kBlocking,  // runs alone on a connection opened for it
    kRefused,   // changes connection state: never sent
};

// Classifies a command given as its words (the first is the command name; names match without regard to
// case).
CommandKind classifyCommand(const std::vector<std::string>& words);

// The command name (upper case) and, for commands like CLIENT REPLY, its sub-command, as shown in messages.
std::string commandTitle(const std::vector<std::string>& words);

// The names of the [order] deny list: separated by commas and/or blanks, matched without regard to case
// against the first word of a command.
class CommandDenyList {
  public:
    CommandDenyList() = default;
    explicit CommandDenyList(std::string_view text);

    bool denies(std::string_view commandName) const;
    bool empty() const { return names_.empty(); }
    size_t size() const { return names_.size(); }

  private:
    std::unordered_set<std::string> names_;  // upper case
};

}  // namespace kestrum
