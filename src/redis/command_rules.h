// Which Redis commands may share a pipelined connection: the one table of commands that block the connection
// they run on and of commands that change its state, and the configurable deny list of /order.
//
// Every command of the gateway goes through a connection that other callers' commands are pipelined on. A
// command that blocks (BLPOP k 0) would hold up everything queued behind it, so it runs on a connection of
// its own that is closed after the reply. A command that changes the connection (SELECT 1, MULTI, SUBSCRIBE,
// CLIENT REPLY OFF, ...) would change what every later caller's command does, so it is refused before
// anything is sent. The table lives in command_rules.cpp.
#pragma once

#include <optional>
#include <string>
#include <string_view>
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

// One entry of a command list, in Redis' ACL notation: "FLUSHALL" names a command with all its
// sub-commands, "CLIENT|KILL" one sub-command of a command. Names match without regard to case.
struct CommandRule {
    std::string name;        // upper case
    std::string subcommand;  // upper case; empty: every sub-command

    // The command given as its words (name first) is the one this rule names.
    bool matches(const std::vector<std::string>& words) const;
    // "FLUSHALL" or "CLIENT KILL", as shown in messages.
    std::string title() const { return subcommand.empty() ? name : name + " " + subcommand; }
};

// Reads one entry: a name, or a name, "|" and a sub-command name. Nothing for anything else (an empty part,
// a second "|").
std::optional<CommandRule> parseCommandRule(std::string_view text);

// The entries of the [order] deny list: separated by commas and/or blanks; each a command name or
// name|subcommand (see CommandRule).
class CommandDenyList {
  public:
    CommandDenyList() = default;
    explicit CommandDenyList(std::string_view text);

    // The first entry that names the command (given as its words), or null.
    const CommandRule* denies(const std::vector<std::string>& words) const;
    bool empty() const { return rules_.empty(); }
    size_t size() const { return rules_.size(); }
    // Entries that are neither a name nor name|subcommand: they deny nothing.
    const std::vector<std::string>& invalid() const { return invalid_; }

  private:
    std::vector<CommandRule> rules_;
    std::vector<std::string> invalid_;
};

}  // namespace kestrum
