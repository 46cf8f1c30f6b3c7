// The command table. Keep it in step with the "Redis commands" part of the README.
#include "redis/command_rules.h"

#include <algorithm>
#include <cctype>

#include "util/text.h"

namespace kestrum {

namespace {

template <size_t N>
bool isOneOf(const std::string& name, const std::string_view (&names)[N]) {
    return std::find(std::begin(names), std::end(names), name) != std::end(names);
}

// Commands that wait for data or for replicas: they run on a connection of their own.
constexpr std::string_view kBlocking[] = {
    "BLPOP", "BRPOP", "BRPOPLPUSH", "BLMOVE", "BLMPOP", "BZPOPMIN", "BZPOPMAX", "BZMPOP", "WAIT", "WAITAOF",
};

// Commands that change the connection itself (database, transaction, subscriptions, reply mode, protocol,
// authentication, replication stream, cluster mode): refused on the shared connections.
constexpr std::string_view kConnectionState[] = {
    "SELECT",    "MULTI",      "EXEC",       "DISCARD",     "WATCH",        "UNWATCH",
    "SUBSCRIBE", "PSUBSCRIBE", "SSUBSCRIBE", "UNSUBSCRIBE", "PUNSUBSCRIBE", "SUNSUBSCRIBE",
    "MONITOR",   "RESET",      "HELLO",      "AUTH",        "QUIT",         "READONLY",
    "READWRITE", "ASKING",     "SYNC",       "PSYNC",       "REPLCONF",
};

// CLIENT sub-commands that change the connection they are sent on.
constexpr std::string_view kClientState[] = {
    "REPLY", "TRACKING", "CACHING", "SETNAME", "SETINFO", "NO-EVICT", "NO-TOUCH",
};

// XREAD and XREADGROUP block when a BLOCK option comes before STREAMS (the words after STREAMS are keys and
// ids, which may be called "block").
bool streamReadBlocks(const std::vector<std::string>& words) {
    for (size_t i = 1; i < words.size(); ++i) {
        const std::string word = asciiUpper(words[i]);
        if (word == "STREAMS")
            return false;
        if (word == "BLOCK")
            return true;
    }
    return false;
}

}  // namespace

CommandKind classifyCommand(const std::vector<std::string>& words) {
    if (words.empty())
        return CommandKind::kShared;
    const std::string name = asciiUpper(words[0]);
    if (isOneOf(name, kConnectionState))
        return CommandKind::kRefused;
    if (name == "CLIENT" && words.size() > 1 && isOneOf(asciiUpper(words[1]), kClientState))
        return CommandKind::kRefused;
    if (isOneOf(name, kBlocking))
        return CommandKind::kBlocking;
    if ((name == "XREAD" || name == "XREADGROUP") && streamReadBlocks(words))
        return CommandKind::kBlocking;
    return CommandKind::kShared;
}

std::string commandTitle(const std::vector<std::string>& words) {
    if (words.empty())
        return std::string();
    std::string title = asciiUpper(words[0]);
    if (title == "CLIENT" && words.size() > 1)
        title += " " + asciiUpper(words[1]);
    return title;
}

bool CommandRule::matches(const std::vector<std::string>& words) const {
    if (words.empty() || !equalsIgnoreCase(words[0], name))
        return false;
    return subcommand.empty() || (words.size() > 1 && equalsIgnoreCase(words[1], subcommand));
}

std::optional<CommandRule> parseCommandRule(std::string_view text) {
    const size_t bar = text.find('|');
    CommandRule rule;
    rule.name = asciiUpper(text.substr(0, bar));
    if (bar != std::string_view::npos) {
        rule.subcommand = asciiUpper(text.substr(bar + 1));
        if (rule.subcommand.empty() || rule.subcommand.find('|') != std::string::npos)
            return std::nullopt;
    }
    if (rule.name.empty())
        return std::nullopt;
    return rule;
}

CommandDenyList::CommandDenyList(std::string_view text) {
    size_t i = 0;
    while (i < text.size()) {
        while (i < text.size() && (text[i] == ',' || std::isspace((unsigned char)text[i])))
            ++i;
        const size_t start = i;
        while (i < text.size() && text[i] != ',' && !std::isspace((unsigned char)text[i]))
            ++i;
        if (i == start)
            continue;
        const std::string_view entry = text.substr(start, i - start);
        if (std::optional<CommandRule> rule = parseCommandRule(entry))
            rules_.push_back(std::move(*rule));
        else
            invalid_.emplace_back(entry);
    }
}

const CommandRule* CommandDenyList::denies(const std::vector<std::string>& words) const {
    for (const CommandRule& rule : rules_) {
        if (rule.matches(words))
            return &rule;
    }
    return nullptr;
}

}  // namespace kestrum
