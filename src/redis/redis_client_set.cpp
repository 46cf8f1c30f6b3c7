#include "redis/redis_client_set.h"

#include <netdb.h>
#include <sys/socket.h>

#include <algorithm>
#include <chrono>
#include <unordered_map>

#include <asio/io_context.hpp>

#include "redis/command_rules.h"
#include "redis/command_words.h"
#include "redis/loop_wait.h"
#include "redis/redis_defaults.h"
#include "util/encoding.h"
#include "util/event_loops.h"

namespace kestrum {

namespace {

// The numeric address of `host`, so that no connect on a network thread waits for a name lookup. A host that
// does not resolve is kept as it is (its connects fail and say why).
std::string numericHost(const std::string& host) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0 || found == nullptr)
        return host;
    char text[NI_MAXHOST];
    std::string numeric = host;
    if (getnameinfo(found->ai_addr, found->ai_addrlen, text, sizeof(text), nullptr, 0, NI_NUMERICHOST) == 0)
        numeric = text;
    freeaddrinfo(found);
    return numeric;
}

}  // namespace

struct RedisClientSet::Loop {
    // Fixed from connectAll() until close() releases them; the connections themselves are used (and
    // released) on this loop only.
    std::vector<std::shared_ptr<RedisConnection>> connections;
    // Connections opened for one blocking command each; this loop only.
    std::unordered_map<RedisConnection*, std::shared_ptr<RedisConnection>> alone;
};

RedisClientSet::RedisClientSet(EventLoops& loops)
    : loops_(loops), aloneInUse_(std::make_shared<std::atomic<int>>(0)) {}

RedisClientSet::~RedisClientSet() = default;

void RedisClientSet::setTimeouts(int connectMs, int replyMs) {
    settings_.connectTimeoutMs = connectMs;
    settings_.replyTimeoutMs = replyMs;
}

int RedisClientSet::connectAll(int count, const std::string& host, int port, const std::string& password,
                               int db, bool isUnicode, int firstLoop) {
    host_ = host.empty() ? kDefaultRedisHost : host;
    port_ = port == 0 ? kDefaultRedisPort : port;
    db_ = db;
    isUnicode_ = isUnicode;
    settings_.host = numericHost(host_);
    settings_.port = port_;
    settings_.password = isUnicode ? gbkToUtf8(password) : password;
    settings_.db = db;
    settings_.isUnicode = isUnicode;

    perLoop_.clear();
    loopsWithClients_.clear();
    clientCount_ = 0;
    const int loopCount = std::max(1, loops_.size());
    for (int i = 0; i < loopCount; ++i)
        perLoop_.push_back(std::make_shared<Loop>());
    const int wanted = std::min(count, kMaxClients);
    if (wanted <= 0 || loops_.size() == 0)
        return 0;

    struct Attempt {
        std::shared_ptr<RedisConnection> connection;
        int loop = 0;
        bool ok = false;
    };
    auto attempts = std::make_shared<std::vector<Attempt>>(size_t(wanted));
    auto countdown = std::make_shared<Countdown>(wanted);
    for (int i = 0; i < wanted; ++i) {
        Attempt& attempt = (*attempts)[size_t(i)];
        attempt.loop = (std::max(0, firstLoop) + i) % loopCount;
        attempt.connection = makeRedisConnection(loops_.context(attempt.loop), settings_);
        loops_.post(attempt.loop, [attempts, countdown, i] {
            (*attempts)[size_t(i)].connection->open([attempts, countdown, i](bool ok, const std::string&) {
                (*attempts)[size_t(i)].ok = ok;
                countdown->done();
            });
        });
    }
    // Every open ends within its connect time-out; the margin covers busy loops.
    countdown->wait(loops_, std::chrono::milliseconds(settings_.connectTimeoutMs + 5000));

    for (Attempt& attempt : *attempts) {
        // A result that never came counts as a failure.
        if (attempt.ok) {
            perLoop_[size_t(attempt.loop)]->connections.push_back(attempt.connection);
            ++clientCount_;
        } else {
            // Released on its own thread.
            loops_.post(attempt.loop, [connection = std::move(attempt.connection)] {
                connection->close("redis connection released");
            });
        }
    }
    for (int i = 0; i < loopCount; ++i) {
        if (!perLoop_[size_t(i)]->connections.empty())
            loopsWithClients_.push_back(i);
    }
    return clientCount_;
}

void RedisClientSet::submit(Job job, RedisHandler done) {
    if (closed_.load(std::memory_order_acquire)) {
        done(RedisOutcome::failure(closeReason_));
        return;
    }
    if (clientCount_ == 0) {
        done(RedisOutcome::failure("no usable connection to redis for " + dbText()));
        return;
    }
    const int here = loops_.currentIndex();
    if (here >= 0 && size_t(here) < perLoop_.size() && !perLoop_[size_t(here)]->connections.empty()) {
        job(here, std::move(done));
        return;
    }
    const int target =
        loopsWithClients_[nextLoop_.fetch_add(1, std::memory_order_relaxed) % loopsWithClients_.size()];
    if (here >= 0) {
        // The answer goes back to the caller's own thread; a large one, converted on the offload thread, is
        // handed over there instead.
        done = [loops = &loops_, here, done = std::move(done)](RedisOutcome outcome) {
            if (outcome.text.size() > kLargeRedisText && loops->currentIndex() < 0) {
                done(std::move(outcome));
                return;
            }
            loops->post(here, [done, outcome = std::move(outcome)]() mutable { done(std::move(outcome)); });
        };
    }
    loops_.post(target, [this, target, job = std::move(job), done = std::move(done)]() mutable {
        if (closed_.load(std::memory_order_acquire)) {
            done(RedisOutcome::failure(closeReason_));
            return;
        }
        job(target, std::move(done));
    });
}

void RedisClientSet::sendHere(int loop, std::vector<std::string> words, RedisHandler done, ReplyForm form) {
    if (closed_.load(std::memory_order_acquire)) {
        done(RedisOutcome::failure(closeReason_));
        return;
    }
    RedisConnection* best = nullptr;
    size_t least = SIZE_MAX;
    for (const auto& connection : perLoop_[size_t(loop)]->connections) {
        const size_t load = connection->inFlight();
        if (load < least) {
            least = load;
            best = connection.get();
            if (load == 0)
                break;
        }
    }
    if (best == nullptr || least >= kMaxInFlight) {
        done(RedisOutcome::failure("too many commands in flight for " + dbText()));
        return;
    }
    best->send(std::move(words), std::move(done), form);
}

void RedisClientSet::sendAlone(int loop, std::vector<std::string> words, RedisHandler done, ReplyForm form) {
    if (closed_.load(std::memory_order_acquire)) {
        done(RedisOutcome::failure(closeReason_));
        return;
    }
    const int limit = std::max(1, clientCount_);
    if (aloneInUse_->fetch_add(1) >= limit) {
        aloneInUse_->fetch_sub(1);
        done(RedisOutcome::failure("too many blocking commands at once for " + dbText()));
        return;
    }
    std::shared_ptr<Loop> home = perLoop_[size_t(loop)];
    auto connection = makeRedisConnection(loops_.context(loop), settings_);
    RedisConnection* raw = connection.get();
    home->alone.emplace(raw, std::move(connection));
    raw->send(
        std::move(words),
        [this, loop, home, raw, inUse = aloneInUse_, done = std::move(done)](RedisOutcome outcome) {
            // Free for the next blocking command at once; closed and released after this handler
            // (which runs inside the connection's own code).
            inUse->fetch_sub(1);
            loops_.post(loop, [home, raw] {
                auto it = home->alone.find(raw);
                if (it == home->alone.end())
                    return;
                it->second->close("redis connection released");
                home->alone.erase(it);
            });
            done(std::move(outcome));
        },
        form);
}

std::string RedisClientSet::internalText(const std::string& wire) const {
    return isUnicode_ ? utf8ToGbk(wire) : wire;
}

std::string RedisClientSet::textIn(ReplyForm form, const std::string& wire) const {
    if (form == ReplyForm::kInternal)
        return internalText(wire);
    return isUnicode_ ? wire : gbkToUtf8(wire);
}

bool RedisClientSet::buildWords(std::string_view commandTemplate, std::vector<std::string> params,
                                std::vector<std::string>& words, std::string& error) const {
    if (!isUnicode_)
        return buildCommandWords(commandTemplate, params, true, words, error);
    for (std::string& param : params)
        param = gbkToUtf8(param);
    return buildCommandWords(gbkToUtf8(commandTemplate), params, false, words, error);
}

void RedisClientSet::runCommandText(const std::string& command, RedisHandler done,
                                    const CommandDenyList* deny) {
    std::vector<std::string> words;
    std::string error;
    if (!buildWords(command, {}, words, error)) {
        done(RedisOutcome::failure(error));
        return;
    }
    runWords(std::move(words), std::move(done), deny, ReplyForm::kInternal);
}

void RedisClientSet::runCommandWire(const std::string& command, RedisHandler done,
                                    const CommandDenyList* deny) {
    std::vector<std::string> words;
    std::string error;
    if (!buildCommandWords(command, {}, !isUnicode_, words, error)) {
        done(RedisOutcome::failure(error));
        return;
    }
    runWords(std::move(words), std::move(done), deny, ReplyForm::kUtf8);
}

void RedisClientSet::runWords(std::vector<std::string> words, RedisHandler done, const CommandDenyList* deny,
                              ReplyForm form) {
    if (const CommandRule* rule = deny != nullptr ? deny->denies(words) : nullptr) {
        done(RedisOutcome::failure("command not allowed: " + textIn(form, rule->title()) +
                                   " is on the deny list"));
        return;
    }
    switch (classifyCommand(words)) {
        case CommandKind::kRefused:
            done(RedisOutcome::failure("command not allowed: " + textIn(form, commandTitle(words)) +
                                       " changes the state of a shared connection"));
            return;
        case CommandKind::kBlocking:
            submit(
                [this, words = std::move(words), form](int loop, RedisHandler finish) mutable {
                    sendAlone(loop, std::move(words), std::move(finish), form);
                },
                std::move(done));
            return;
        case CommandKind::kShared:
            sendShared(std::move(words), std::move(done), form);
            return;
    }
}

void RedisClientSet::sendShared(std::vector<std::string> words, RedisHandler done, ReplyForm form) {
    submit(
        [this, words = std::move(words), form](int loop, RedisHandler finish) mutable {
            sendHere(loop, std::move(words), std::move(finish), form);
        },
        std::move(done));
}

namespace {

// Words of a template whose parameters each fill a whole word ("SET {1} {2}"): the same words the template
// gives, without parsing it.
std::string wireText(const std::string& text, bool isUnicode) {
    return isUnicode ? gbkToUtf8(text) : text;
}

std::vector<std::string> expiryWords(const std::string& wireKey, int64_t expiry) {
    std::string number = std::to_string(expiry);
    const char* name = number.size() == 13 ? "PEXPIREAT" : "PEXPIRE";
    return {name, wireKey, std::move(number)};
}

// SET key value, with the expiry in the same command: when Redis refuses the expiry nothing is written.
std::vector<std::string> setWords(std::string wireKey, std::string wireValue, int64_t expiry) {
    std::vector<std::string> words{"SET", std::move(wireKey), std::move(wireValue)};
    if (expiry > 0) {
        std::string number = std::to_string(expiry);
        words.push_back(number.size() == 13 ? "PXAT" : "PX");
        words.push_back(std::move(number));
    }
    return words;
}

}  // namespace

void RedisClientSet::setKey(const std::string& key, const std::string& value, int64_t expiry,
                            RedisHandler done) {
    sendShared(setWords(wireText(key, isUnicode_), wireText(value, isUnicode_), expiry), std::move(done),
               ReplyForm::kInternal);
}

void RedisClientSet::setKeyWire(std::string key, std::string value, int64_t expiry, RedisHandler done) {
    sendShared(setWords(std::move(key), std::move(value), expiry), std::move(done), ReplyForm::kUtf8);
}

void RedisClientSet::getKey(const std::string& key, RedisHandler done) {
    sendShared({"GET", wireText(key, isUnicode_)}, std::move(done), ReplyForm::kInternal);
}

void RedisClientSet::getKeyWire(std::string key, RedisHandler done) {
    sendShared({"GET", std::move(key)}, std::move(done), ReplyForm::kUtf8);
}

void RedisClientSet::expireKey(const std::string& key, int64_t expiry, RedisHandler done) {
    sendShared(expiryWords(wireText(key, isUnicode_), expiry), std::move(done), ReplyForm::kInternal);
}

void RedisClientSet::persistKey(const std::string& key, RedisHandler done) {
    sendShared({"PERSIST", wireText(key, isUnicode_)}, std::move(done), ReplyForm::kInternal);
}

void RedisClientSet::close(const std::string& reason) {
    if (closing_.exchange(true))
        return;
    closeReason_ = reason;
    closed_.store(true, std::memory_order_release);
    if (perLoop_.empty())
        return;
    const bool onNetworkThread = loops_.currentIndex() >= 0;
    auto countdown = std::make_shared<Countdown>(int(perLoop_.size()));
    for (size_t i = 0; i < perLoop_.size(); ++i) {
        std::shared_ptr<Loop> loop = perLoop_[i];
        loops_.post(int(i), [loops = &loops_, index = int(i), loop, reason, countdown] {
            for (const auto& connection : loop->connections)
                connection->close(reason);
            std::vector<std::shared_ptr<RedisConnection>> alone;
            for (auto& entry : loop->alone)
                alone.push_back(entry.second);
            for (const auto& connection : alone)
                connection->close(reason);
            // Released here, on their own thread: nothing of theirs may outlive the loop's io_context.
            loop->connections.clear();
            loop->alone.clear();
            alone.clear();
            // Each close above queued the release of its connection's watch; this runs after those.
            loops->post(index, [countdown] { countdown->done(); });
        });
    }
    if (!onNetworkThread)
        countdown->wait(loops_, std::chrono::milliseconds(10000));
}

}  // namespace kestrum
