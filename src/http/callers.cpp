#include "http/callers.h"

#include <openssl/crypto.h>

#include <algorithm>
#include <cmath>

#include "util/glob_match.h"
#include "util/ini.h"
#include "util/text.h"

namespace kestrum {
namespace {

constexpr std::string_view kRightNames[] = {"mysql",       "redis.get", "redis.set",
                                            "redis.order", "websocket", "metrics"};
static_assert(std::size(kRightNames) == static_cast<size_t>(CallerRight::kMetrics) + 1);
constexpr std::string_view kKeys[] = {"key_sha256",    "cert_sha256",    "from",         "allow",
                                      "mysql_account", "redis_commands", "redis_keys",   "rate",
                                      "burst",         "rate_shared",    "max_in_flight"};
constexpr int64_t kLargestNumber = 1000000;
// The same cut as every configuration value.
constexpr size_t kMaxValueBytes = 10239;

std::string unquote(std::string value) {
    if (value.size() >= 2) {
        char first = value.front();
        char last = value.back();
        if ((first == '"' || first == '\'') && first == last)
            value = value.substr(1, value.size() - 2);
    }
    if (value.size() > kMaxValueBytes)
        value.resize(kMaxValueBytes);
    return value;
}

// A whole number 1..kLargestNumber without sign or leading zero; -1 otherwise.
int64_t positiveNumber(std::string_view text) {
    if (text.empty() || text.size() > 7 || text.front() == '0')
        return -1;
    int64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return -1;
        value = value * 10 + (c - '0');
    }
    return value <= kLargestNumber ? value : -1;
}

// Requests per second: digits, optionally "." and digits; above 0, at most kLargestNumber. -1 otherwise.
double rateNumber(std::string_view text) {
    size_t dot = text.find('.');
    std::string_view whole = text.substr(0, dot);
    std::string_view fraction = dot == std::string_view::npos ? std::string_view{} : text.substr(dot + 1);
    auto digits = [](std::string_view part) {
        return std::all_of(part.begin(), part.end(), [](char c) { return c >= '0' && c <= '9'; });
    };
    if (whole.empty() || whole.size() > 7 || !digits(whole) ||
        (dot != std::string_view::npos && fraction.empty()) || fraction.size() > 6 || !digits(fraction))
        return -1;
    double value = 0;
    for (char c : whole)
        value = value * 10 + (c - '0');
    double scale = 0.1;
    for (char c : fraction) {
        value += (c - '0') * scale;
        scale /= 10;
    }
    return value > 0 && value <= kLargestNumber ? value : -1;
}

bool isCommandWord(std::string_view word) {
    return !word.empty() && std::all_of(word.begin(), word.end(), [](char c) {
        return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' ||
               c == '-' || c == '.';
    });
}

class Parser {
  public:
    Parser(std::string_view localAddress, std::vector<CallerRulesProblem>& problems)
        : localAddress_(localAddress), problems_(problems) {}

    std::vector<Caller> run(const IniFile& file) {
        std::vector<Caller> callers;
        for (const IniFile::Section& section : file.sections()) {
            if (section.name.empty()) {
                add("", "", "", "lines before the first [section] header");
                continue;
            }
            if (!isCallerName(section.name)) {
                add(section.name, "", "",
                    "is not a caller name: a letter or digit, then letters, digits, \"_\", \"-\" and \".\"; "
                    "at most 64");
                continue;
            }
            if (std::any_of(callers.begin(), callers.end(),
                            [&](const Caller& c) { return equalsIgnoreCase(c.name, section.name); })) {
                add(section.name, "", "", "repeated section: a caller is described once");
                continue;
            }
            callers.push_back(readCaller(section));
        }
        checkSharedHashes(callers);
        return callers;
    }

  private:
    // Problems end up in a log line: a control byte of the file (a CR inside a line) is shown as "?".
    void add(std::string section, std::string key, std::string value, std::string what) {
        for (std::string* text : {&section, &key, &value}) {
            for (char& c : *text) {
                if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
                    c = '?';
            }
        }
        problems_.push_back({std::move(section), std::move(key), std::move(value), std::move(what)});
    }

    Caller readCaller(const IniFile::Section& section) {
        Caller caller;
        caller.name = section.name;
        const std::string& name = section.name;
        std::vector<std::string> seen;
        std::string burstText;
        std::string sharedText;
        for (const IniFile::Entry& entry : section.entries) {
            if (entry.key.empty()) {
                // The text is not repeated: a line without "=" may be a key pasted in by mistake.
                add(name, "", "", "a line without \"=\" (its text is not shown: it could be a key)");
                continue;
            }
            const std::string key = asciiLower(entry.key);
            if (std::find(std::begin(kKeys), std::end(kKeys), key) == std::end(kKeys)) {
                add(name, entry.key, "", "unknown key (its value is not shown: it could be a key)");
                continue;
            }
            if (std::find(seen.begin(), seen.end(), key) != seen.end()) {
                add(name, entry.key, key == "key_sha256" ? "" : entry.value,
                    "repeated key: write every value of a list in one line");
                continue;
            }
            seen.push_back(key);
            const std::string value = unquote(entry.value);
            if (key == "key_sha256") {
                readHashes(name, key, value, caller.keyHashes);
            } else if (key == "cert_sha256") {
                readHashes(name, key, value, caller.certHashes);
            } else if (key == "from") {
                readFrom(name, value, caller);
            } else if (key == "allow") {
                for (std::string_view word : splitAddressList(value)) {
                    std::optional<CallerRight> right = parseCallerRight(word);
                    if (right)
                        caller.rights |= 1u << static_cast<unsigned>(*right);
                    else
                        add(name, key, std::string(word),
                            "unknown right: mysql, redis.get, redis.set, redis.order, websocket or metrics");
                }
            } else if (key == "mysql_account") {
                if (!value.empty() && !isCallerName(value))
                    add(name, key, value,
                        "is not an account name: a letter or digit, then letters, digits, \"_\", \"-\" and "
                        "\".\"; at most 64");
                else
                    caller.mysqlAccount = value;
            } else if (key == "redis_commands") {
                readCommands(name, value, caller);
            } else if (key == "redis_keys") {
                caller.redisKeys.clear();
                for (std::string_view pattern : splitAddressList(value)) {
                    std::string error = globPatternError(pattern);
                    if (error.empty())
                        caller.redisKeys.emplace_back(pattern);
                    else
                        add(name, key, std::string(pattern), "the pattern " + error);
                }
            } else if (key == "rate") {
                if (!value.empty()) {
                    caller.rate = rateNumber(value);
                    if (caller.rate < 0) {
                        caller.rate = 0;
                        add(name, key, value,
                            "is not a number of requests per second above 0 (like 20 or 0.5)");
                    }
                }
            } else if (key == "burst") {
                burstText = value;
                if (!value.empty()) {
                    caller.burst = positiveNumber(value);
                    if (caller.burst < 0) {
                        caller.burst = 0;
                        add(name, key, value, "is not a whole number from 1 to 1000000");
                    }
                }
            } else if (key == "rate_shared") {
                sharedText = value;
                if (value != "" && value != "0" && value != "1")
                    add(name, key, value, "only 1 (count in Redis) or 0 (count here)");
                caller.rateShared = value == "1";
            } else if (key == "max_in_flight") {
                if (!value.empty()) {
                    caller.maxInFlight = positiveNumber(value);
                    if (caller.maxInFlight < 0) {
                        caller.maxInFlight = 0;
                        add(name, key, value, "is not a whole number from 1 to 1000000");
                    }
                }
            }
        }
        if (caller.rate == 0) {
            if (caller.burst > 0)
                add(name, "burst", burstText, "needs rate: the bucket fills at rate requests per second");
            if (caller.rateShared)
                add(name, "rate_shared", sharedText, "needs rate: there is nothing to count");
        } else if (caller.burst == 0) {
            caller.burst = std::max<int64_t>(1, static_cast<int64_t>(std::ceil(caller.rate)));
        }
        return caller;
    }

    void readHashes(const std::string& name, const std::string& key, const std::string& value,
                    std::vector<Sha256>& hashes) {
        int position = 0;
        for (std::string_view text : splitAddressList(value)) {
            ++position;
            std::optional<Sha256> hash = parseSha256Hex(text);
            if (hash) {
                hashes.push_back(*hash);
                continue;
            }
            if (key == "key_sha256")
                add(name, key, "",
                    "entry " + std::to_string(position) +
                        " is not 64 hexadecimal digits (kestrum --hash-key prints a key's key_sha256; the "
                        "key "
                        "itself never belongs here)");
            else
                add(name, key, std::string(text),
                    "is not 64 hexadecimal digits: the SHA-256 fingerprint of the certificate's DER");
        }
    }

    void readFrom(const std::string& name, const std::string& value, Caller& caller) {
        caller.fromAnywhere = false;
        AddressList list = parseAddressList(value);
        caller.from = std::move(list.set);
        for (const AddressList::Bad& bad : list.bad)
            add(name, "from", bad.entry, bad.error);
        if (list.localhost) {
            std::optional<Ipv4Address> local = parseIpv4(localAddress_);
            if (local)
                caller.from.add({*local, *local});
            else
                add(name, "from", "localhost", "the local address is not known here: write the address");
        }
    }

    void readCommands(const std::string& name, const std::string& value, Caller& caller) {
        for (std::string_view word : splitAddressList(value)) {
            if (word == "*") {
                caller.anyRedisCommand = true;
                continue;
            }
            size_t bar = word.find('|');
            bool ok = isCommandWord(word.substr(0, bar)) &&
                      (bar == std::string_view::npos || isCommandWord(word.substr(bar + 1)));
            if (ok)
                caller.redisCommands.push_back(asciiUpper(word));
            else
                add(name, "redis_commands", std::string(word),
                    "is not a command name, NAME|SUBCOMMAND or \"*\"");
        }
    }

    // A key or certificate that names two callers would make the answer depend on the order of the file.
    void checkSharedHashes(const std::vector<Caller>& callers) {
        auto check = [&](const char* key, std::vector<Sha256> Caller::*list) {
            for (size_t i = 0; i < callers.size(); ++i) {
                for (const Sha256& hash : callers[i].*list) {
                    for (size_t j = 0; j < i; ++j) {
                        const std::vector<Sha256>& earlier = callers[j].*list;
                        if (std::find(earlier.begin(), earlier.end(), hash) != earlier.end()) {
                            add(callers[i].name, key, std::string(key) == "key_sha256" ? "" : sha256Hex(hash),
                                "the same hash is listed for caller " + callers[j].name +
                                    ": one key or certificate names one caller");
                        }
                    }
                }
            }
        };
        check("key_sha256", &Caller::keyHashes);
        check("cert_sha256", &Caller::certHashes);
    }

    std::string_view localAddress_;
    std::vector<CallerRulesProblem>& problems_;
};

}  // namespace

std::string_view callerRightName(CallerRight right) {
    return kRightNames[static_cast<size_t>(right)];
}

std::optional<CallerRight> parseCallerRight(std::string_view word) {
    for (size_t i = 0; i < std::size(kRightNames); ++i) {
        if (equalsIgnoreCase(kRightNames[i], word))
            return static_cast<CallerRight>(i);
    }
    return std::nullopt;
}

bool isCallerName(std::string_view name) {
    if (name.empty() || name.size() > 64 || !isCommandWord(name))
        return false;
    const char first = name.front();
    return (first >= 'A' && first <= 'Z') || (first >= 'a' && first <= 'z') || (first >= '0' && first <= '9');
}

bool Caller::allowsRedisCommand(std::string_view name, std::string_view firstArgument) const {
    if (anyRedisCommand)
        return true;
    for (const std::string& entry : redisCommands) {
        std::string_view listed = entry;
        size_t bar = listed.find('|');
        if (bar == std::string_view::npos) {
            if (equalsIgnoreCase(listed, name))
                return true;
        } else if (equalsIgnoreCase(listed.substr(0, bar), name) && !firstArgument.empty() &&
                   equalsIgnoreCase(listed.substr(bar + 1), firstArgument)) {
            return true;
        }
    }
    return false;
}

bool Caller::allowsRedisKey(std::string_view key) const {
    return std::any_of(redisKeys.begin(), redisKeys.end(),
                       [&](const std::string& pattern) { return globMatch(pattern, key); });
}

std::string CallerRules::LoadResult::firstProblemLine(std::string_view fileName) const {
    if (problems.empty())
        return {};
    std::string line = callerProblemLine(fileName, problems.front());
    if (problems.size() > 1)
        line += " (and " + std::to_string(problems.size() - 1) + " more)";
    return line;
}

CallerRules::LoadResult CallerRules::load(const std::string& path, std::string_view localAddress) {
    IniFile file = IniFile::load(path);
    if (!file.exists())
        return {};
    return parse(file, localAddress);
}

CallerRules::LoadResult CallerRules::parse(const IniFile& file, std::string_view localAddress) {
    LoadResult result;
    std::vector<Caller> callers = Parser(localAddress, result.problems).run(file);
    if (!result.problems.empty()) {
        result.status = LoadStatus::kFailed;
        return result;
    }
    auto rules = std::make_shared<CallerRules>();
    rules->callers_ = std::move(callers);
    result.status = LoadStatus::kLoaded;
    result.rules = std::move(rules);
    return result;
}

const Caller* CallerRules::findByKeyHash(const Sha256& keyHash) const {
    // Every stored hash is compared, whichever matches, and each comparison takes the same time.
    const Caller* found = nullptr;
    for (const Caller& caller : callers_) {
        for (const Sha256& stored : caller.keyHashes) {
            const bool equal = CRYPTO_memcmp(stored.data(), keyHash.data(), stored.size()) == 0;
            found = equal ? &caller : found;
        }
    }
    return found;
}

const Caller* CallerRules::findByCertificate(const Sha256& fingerprint) const {
    for (const Caller& caller : callers_) {
        if (std::find(caller.certHashes.begin(), caller.certHashes.end(), fingerprint) !=
            caller.certHashes.end())
            return &caller;
    }
    return nullptr;
}

const Caller* CallerRules::findByName(std::string_view name) const {
    for (const Caller& caller : callers_) {
        if (caller.name == name)
            return &caller;
    }
    return nullptr;
}

bool CallerRules::anyCertificate() const {
    return std::any_of(callers_.begin(), callers_.end(),
                       [](const Caller& caller) { return !caller.certHashes.empty(); });
}

std::string callerProblemLine(std::string_view fileName, const CallerRulesProblem& problem) {
    std::string line(fileName);
    line += ": ";
    if (!problem.section.empty())
        line += "[" + problem.section + "] ";
    if (!problem.key.empty())
        line += problem.key + "=" + problem.value + ": ";
    return line + problem.what;
}

}  // namespace kestrum
