// RedisConnection over hiredis' asynchronous API, driven by Asio.
//
// hiredis asks for read and write readiness through its ev hooks; a Watch turns those into waits on an
// asio::posix::stream_descriptor that borrows the context's socket (hiredis closes it). Writes wanted while
// connected are not waited for: one flush is posted, so every command queued by the handlers of the same
// round goes out in one write. Each hiredis context gets a Watch of its own; a Watch outlives its context
// because the waits hold it.
//
// Reads are done here, not by hiredis: the bytes go through the Watch's ReplyMeter before they reach
// hiredis' reader, so a reply larger than the answer limit is never held (see reply_meter.h).
#include "redis/redis_connection.h"

#include <hiredis/async.h>
#include <hiredis/hiredis.h>

#include <unistd.h>
#include <asio/io_context.hpp>
#include <asio/posix/stream_descriptor.hpp>
#include <asio/post.hpp>
#include <asio/steady_timer.hpp>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <deque>

#include "redis/command_words.h"
#include "redis/reply_meter.h"
#include "util/encoding.h"
#include "util/recovery_point.h"

// Exported by every hiredis, declared by async.h only from 1.0 on: parses what the reader holds and calls
// the reply callbacks.
extern "C" void redisProcessCallbacks(redisAsyncContext* ac);

namespace kestrum {

namespace {

using Clock = std::chrono::steady_clock;

// Bytes taken from the socket at a time (what hiredis reads itself).
constexpr size_t kReadChunk = 16 * 1024;

class AsyncConnection;

struct Watch : std::enable_shared_from_this<Watch> {
    Watch(asio::io_context& io, redisAsyncContext* ac, AsyncConnection* owner, size_t answerLimit)
        : descriptor(io), context(ac), owner(owner), meter(answerLimit) {}

    asio::posix::stream_descriptor descriptor;
    redisAsyncContext* context;  // null once hiredis has let go of it
    AsyncConnection* owner;      // null once the connection moved on to another context
    bool connected = false;      // TCP connect finished: writes need no readiness wait
    bool wantRead = false;
    bool wantWrite = false;
    bool readWaiting = false;
    bool writeWaiting = false;
    bool flushPosted = false;
    ReplyMeter meter;     // between the socket and hiredis' reader
    std::string metered;  // what the meter passed on from the last read
};

void armRead(Watch& watch);
void armWrite(Watch& watch);
void abandonWatch(void* target);                             // needs AsyncConnection
void streamFailed(Watch& watch, const std::string& reason);  // needs AsyncConnection

// Reads what the socket holds, passes it through the meter to hiredis' reader and lets hiredis answer the
// replies that are complete.
void handleRead(Watch& watch) {
    redisAsyncContext* ac = watch.context;
    if ((ac->c.flags & REDIS_CONNECTED) == 0 || ac->c.err != 0 || watch.owner == nullptr) {
        redisAsyncHandleRead(ac);  // the connect's outcome, or a context hiredis is giving up
        return;
    }
    char buffer[kReadChunk];
    const ssize_t got = ::read(ac->c.fd, buffer, sizeof(buffer));
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
        return;
    if (got <= 0) {
        // The end of the stream or a failed socket: hiredis reads it again and tears the context down.
        redisAsyncHandleRead(ac);
        return;
    }
    watch.metered.clear();
    std::string error;
    if (!watch.meter.feed(std::string_view(buffer, size_t(got)), watch.metered, error)) {
        streamFailed(watch, error);
        return;
    }
    if (!watch.metered.empty() &&
        redisReaderFeed(ac->c.reader, watch.metered.data(), watch.metered.size()) != REDIS_OK) {
        streamFailed(watch, "cannot read the reply");
        return;
    }
    redisProcessCallbacks(ac);
}

// Names a hiredis event of `watch` for the fault guard: a fault or exception inside it abandons the context.
WorkUnit watchUnit(Watch& watch) {
    return WorkUnit("redis connection", static_cast<uint64_t>(watch.descriptor.native_handle()),
                    &abandonWatch, &watch);
}

void armRead(Watch& watch) {
    if (watch.readWaiting || watch.context == nullptr)
        return;
    watch.readWaiting = true;
    watch.descriptor.async_wait(asio::posix::stream_descriptor::wait_read, [self = watch.shared_from_this()](
                                                                               const asio::error_code& ec) {
        self->readWaiting = false;
        if (ec == asio::error::operation_aborted || self->context == nullptr || !self->wantRead)
            return;
        WorkUnit work = watchUnit(*self);
        handleRead(*self);
        if (!ec && self->context != nullptr && self->wantRead)
            armRead(*self);
    });
}

void armWrite(Watch& watch) {
    if (watch.writeWaiting || watch.context == nullptr)
        return;
    watch.writeWaiting = true;
    watch.descriptor.async_wait(asio::posix::stream_descriptor::wait_write, [self = watch.shared_from_this()](
                                                                                const asio::error_code& ec) {
        self->writeWaiting = false;
        if (ec == asio::error::operation_aborted || self->context == nullptr || !self->wantWrite)
            return;
        WorkUnit work = watchUnit(*self);
        redisAsyncHandleWrite(self->context);
        if (!ec && self->context != nullptr && self->wantWrite)
            armWrite(*self);
    });
}

void flushWrites(const std::shared_ptr<Watch>& watch) {
    watch->flushPosted = false;
    if (watch->context == nullptr || !watch->wantWrite || watch->writeWaiting)
        return;
    WorkUnit work = watchUnit(*watch);
    redisAsyncHandleWrite(watch->context);
    // Still wanted: the socket took only part of it.
    if (watch->context != nullptr && watch->wantWrite)
        armWrite(*watch);
}

void hookAddRead(void* data) {
    auto* watch = static_cast<Watch*>(data);
    watch->wantRead = true;
    armRead(*watch);
}

void hookDelRead(void* data) {
    static_cast<Watch*>(data)->wantRead = false;
}

void hookAddWrite(void* data) {
    auto* watch = static_cast<Watch*>(data);
    watch->wantWrite = true;
    if (watch->writeWaiting || watch->flushPosted)
        return;
    if (!watch->connected) {
        armWrite(*watch);  // writable = the connect has finished
        return;
    }
    watch->flushPosted = true;
    asio::post(watch->descriptor.get_executor(), [self = watch->shared_from_this()] { flushWrites(self); });
}

void hookDelWrite(void* data) {
    static_cast<Watch*>(data)->wantWrite = false;
}

void hookCleanup(void* data);  // needs AsyncConnection

void onConnected(const redisAsyncContext* ac, int status) {
    if (status == REDIS_OK && ac->ev.data != nullptr)
        static_cast<Watch*>(ac->ev.data)->connected = true;
}

std::string contextError(const redisAsyncContext* ac, const char* fallback) {
    return ac != nullptr && ac->errstr != nullptr && ac->errstr[0] != '\0' ? std::string(ac->errstr)
                                                                           : std::string(fallback);
}

class AsyncConnection final : public RedisConnection, public std::enable_shared_from_this<AsyncConnection> {
  public:
    AsyncConnection(asio::io_context& io, const RedisConnectionSettings& settings)
        : io_(io), settings_(settings), timer_(io) {}

    ~AsyncConnection() override { close("redis connection closed"); }

    void open(std::function<void(bool ok, const std::string& error)> opened) override {
        if (state_ == State::kClosed) {
            if (opened)
                opened(false, closeReason_);
            return;
        }
        if (state_ == State::kReady) {
            if (opened)
                opened(true, std::string());
            return;
        }
        opened_ = std::move(opened);
        if (state_ == State::kBroken)
            startConnect();
    }

    void send(std::vector<std::string> words, RedisHandler handler, ReplyForm form) override {
        if (state_ == State::kClosed) {
            handler(RedisOutcome::failure(closeReason_));
            return;
        }
        auto pending = std::make_unique<Pending>();
        pending->owner = this;
        pending->deadline = Clock::now() + std::chrono::milliseconds(settings_.replyTimeoutMs);
        pending->handler = std::move(handler);
        pending->form = form;
        if (state_ == State::kReady) {
            issue(std::move(pending), words);
            return;
        }
        pending->words = std::move(words);
        waiting_.push_back(std::move(pending));
        if (state_ == State::kBroken)
            startConnect();
    }

    void close(const std::string& reason) override {
        if (state_ == State::kClosed)
            return;
        closeReason_ = reason;
        state_ = State::kClosed;
        ++timerRound_;
        timerArmed_ = false;
        timer_.cancel();
        if (ac_ != nullptr) {
            drop(reason, false);
        } else {
            failWaiting(reason);
        }
        // The Watch holds a descriptor of this thread's io_context: it goes on this loop, never later
        // (with the connection, perhaps after the context is gone).
        retireWatch();
    }

    size_t inFlight() const override { return inflight_.size() + waiting_.size(); }
    bool isOpen() const override { return state_ == State::kReady; }

    // hiredis is tearing `ac` down on its own (connect failed, peer closed, I/O or protocol error).
    void contextGone(redisAsyncContext* ac) {
        if (ac != ac_)
            return;
        const bool wasReady = state_ == State::kReady;
        const std::string reason = wasReady ? "connection lost: " + contextError(ac, "closed by the server")
                                            : "not connected: " + contextError(ac, "connect failed");
        forget(reason);
        failWaiting(reason);
        if (wasReady)
            reconnectLater();
    }

    static void onReply(redisAsyncContext* ac, void* rawReply, void* privdata) {
        std::unique_ptr<Pending> pending(static_cast<Pending*>(privdata));
        AsyncConnection* self = pending->owner;
        if (!self->inflight_.empty() && self->inflight_.front() == pending.get())
            self->inflight_.pop_front();
        const auto* reply = static_cast<const redisReply*>(rawReply);
        // A reply comes only from a live context, whose Watch is its ev.data.
        const bool cut = reply != nullptr && static_cast<Watch*>(ac->ev.data)->meter.nextReplyCut();
        if (pending->setup) {
            self->setupStepDone(ac, cut ? nullptr : reply, cut);
            return;
        }
        if (cut) {
            RedisHandler handler = std::move(pending->handler);
            pending.reset();
            handler(RedisOutcome::failure(answerLimitText(self->settings_.maxAnswerBytes)));
            return;
        }
        if (reply != nullptr) {
            // Until its handler has the text, an abandoned event can still answer this command.
            self->replying_ = pending.get();
        }
        RedisHandler handler = std::move(pending->handler);
        if (reply == nullptr) {
            RedisOutcome outcome = RedisOutcome::failure(
                pending->failure.empty() ? "connection lost: " + contextError(ac, "no reply")
                                         : pending->failure);
            pending.reset();
            handler(std::move(outcome));
            return;
        }
        const bool unicode = self->settings_.isUnicode;
        const ReplyForm form = pending->form;
        std::string text;
        std::string error;
        pending->handler = std::move(handler);
        const bool ok = replyToWireText(reply, unicode, text, error);
        handler = std::move(pending->handler);
        self->replying_ = nullptr;
        pending.reset();
        // Converted once at most: only when the reply's encoding is not the one the command asked for.
        if (unicode == (form == ReplyForm::kUtf8)) {
            handler(ok ? RedisOutcome::success(std::move(text)) : RedisOutcome::failure(std::move(error)));
            return;
        }
        auto wire = std::make_shared<const std::string>(ok ? std::move(text) : std::move(error));
        std::function<void()> finish = [ok, unicode, handler = std::move(handler), wire] {
            std::string converted = unicode ? utf8ToGbk(*wire) : gbkToUtf8(*wire);
            handler(ok ? RedisOutcome::success(std::move(converted))
                       : RedisOutcome::failure(std::move(converted)));
        };
        // A large text is converted (and handed over) away from the network thread.
        if (wire->size() > kLargeRedisText && self->settings_.offload && self->settings_.offload(finish))
            return;
        finish();
    }

    // The bytes read for `ac` are no reply stream: it is freed and opened again.
    void streamFailed(redisAsyncContext* ac, const std::string& reason) {
        if (ac == ac_)
            drop("connection lost: " + reason, true);
    }

    // After a fault (or exception) inside an event of `ac`: hiredis was stopped in the middle of its own
    // work, so the context is given up without being freed (its memory stays, its socket is closed).
    // Every command sent on it fails now; commands waiting for the connection go to a fresh one.
    void abandonContext(redisAsyncContext* ac) {
        if (ac == nullptr || ac != ac_)
            return;
        const std::string reason = "connection lost: abandoned after a fault";
        std::vector<RedisHandler> handlers;
        if (replying_ != nullptr && replying_->handler)
            handlers.push_back(std::move(replying_->handler));
        replying_ = nullptr;
        for (Pending* pending : inflight_) {
            if (pending->handler)
                handlers.push_back(std::move(pending->handler));
            pending->failure = reason;
        }
        inflight_.clear();
        setupLeft_ = 0;
        ac_ = nullptr;
        if (watch_) {
            watch_->context = nullptr;
            watch_->wantRead = false;
            watch_->wantWrite = false;
            asio::error_code ec;
            watch_->descriptor.close(ec);  // hiredis' socket: it never frees this context
            retireWatch();
        }
        ++timerRound_;
        timerArmed_ = false;
        timer_.cancel();
        auto opened = std::move(opened_);
        opened_ = nullptr;
        if (state_ != State::kClosed)
            state_ = State::kBroken;
        for (RedisHandler& handler : handlers)
            handler(RedisOutcome::failure(reason));
        if (opened)
            opened(false, reason);
        if (state_ == State::kBroken)
            startConnect();
    }

  private:
    enum class State { kBroken, kConnecting, kReady, kClosed };

    struct Pending {
        AsyncConnection* owner = nullptr;
        Clock::time_point deadline;
        RedisHandler handler;            // empty for the opening steps
        std::vector<std::string> words;  // kept only while waiting for the connection
        std::string failure;             // why no reply will come, once that is known
        bool setup = false;
        ReplyForm form = ReplyForm::kInternal;
    };

    void startConnect() {
        redisAsyncContext* ac = redisAsyncConnect(settings_.host.c_str(), settings_.port);
        if (ac == nullptr || ac->err != 0) {
            const std::string reason = "not connected: " + contextError(ac, "cannot create a redis context");
            if (ac != nullptr)
                redisAsyncFree(ac);
            connectFailed(reason);
            return;
        }
        auto watch = std::make_shared<Watch>(io_, ac, this, settings_.maxAnswerBytes);
        asio::error_code ec;
        watch->descriptor.assign(ac->c.fd, ec);
        if (ec) {
            redisAsyncFree(ac);
            connectFailed("not connected: " + ec.message());
            return;
        }
        ac->data = this;
        ac->ev.data = watch.get();
        ac->ev.addRead = hookAddRead;
        ac->ev.delRead = hookDelRead;
        ac->ev.addWrite = hookAddWrite;
        ac->ev.delWrite = hookDelWrite;
        ac->ev.cleanup = hookCleanup;
        redisAsyncSetConnectCallback(ac, onConnected);
        retireWatch();
        watch_ = std::move(watch);
        ac_ = ac;
        state_ = State::kConnecting;

        std::vector<std::vector<std::string>> steps;
        if (!settings_.password.empty())
            steps.push_back({"AUTH", settings_.password});
        if (settings_.db != 0)
            steps.push_back({"SELECT", std::to_string(settings_.db)});
        if (steps.empty())
            steps.push_back({"PING"});
        setupLeft_ = int(steps.size());
        const auto deadline = Clock::now() + std::chrono::milliseconds(settings_.connectTimeoutMs);
        for (const auto& words : steps) {
            auto step = std::make_unique<Pending>();
            step->owner = this;
            step->deadline = deadline;
            step->setup = true;
            if (!issue(std::move(step), words))
                return;
        }
    }

    // Sends one command on the current context; false (the command failed) when hiredis refused it.
    bool issue(std::unique_ptr<Pending> pending, const std::vector<std::string>& words) {
        constexpr size_t kStackWords = 8;
        const char* argvStack[kStackWords];
        size_t lengthStack[kStackWords];
        std::vector<const char*> argvHeap;
        std::vector<size_t> lengthHeap;
        const char** argv = argvStack;
        size_t* lengths = lengthStack;
        if (words.size() > kStackWords) {
            argvHeap.resize(words.size());
            lengthHeap.resize(words.size());
            argv = argvHeap.data();
            lengths = lengthHeap.data();
        }
        for (size_t i = 0; i < words.size(); ++i) {
            argv[i] = words[i].data();
            lengths[i] = words[i].size();
        }
        Pending* raw = pending.get();
        if (ac_ == nullptr ||
            redisAsyncCommandArgv(ac_, onReply, raw, int(words.size()), argv, lengths) != REDIS_OK) {
            const std::string reason = "connection lost: " + contextError(ac_, "command not accepted");
            if (raw->setup) {
                drop("not connected: " + contextError(ac_, "command not accepted"), false);
            } else {
                RedisHandler handler = std::move(raw->handler);
                pending.reset();
                handler(RedisOutcome::failure(reason));
            }
            return false;
        }
        pending.release();  // hiredis hands it back to onReply, with the reply or without one
        inflight_.push_back(raw);
        armTimer();
        return true;
    }

    void setupStepDone(redisAsyncContext* ac, const redisReply* reply, bool cut) {
        if (ac == ac_ && cut) {
            drop("not connected: " + answerLimitText(settings_.maxAnswerBytes), false);
            return;
        }
        if (ac != ac_ || reply == nullptr)
            return;  // an old context, or one going away: its failure is handled where it is dropped
        if (reply->type == REDIS_REPLY_ERROR) {
            std::string text;
            std::string error;
            replyToText(reply, settings_.isUnicode, text, error);
            drop("not connected: " + error, false);
            return;
        }
        if (--setupLeft_ > 0)
            return;
        state_ = State::kReady;
        std::vector<std::unique_ptr<Pending>> waiting = std::move(waiting_);
        waiting_.clear();
        for (auto& pending : waiting) {
            if (state_ != State::kReady) {
                RedisHandler handler = std::move(pending->handler);
                handler(RedisOutcome::failure(state_ == State::kClosed ? closeReason_ : "connection lost"));
                continue;
            }
            const std::vector<std::string> words = std::move(pending->words);
            issue(std::move(pending), words);
        }
        if (opened_) {
            auto opened = std::move(opened_);
            opened_ = nullptr;
            opened(true, std::string());
        }
    }

    // Keeps the timer on the deadline of the oldest command in flight (or earlier).
    void armTimer() {
        if (inflight_.empty() || state_ == State::kClosed)
            return;
        const Clock::time_point due = inflight_.front()->deadline;
        if (timerArmed_ && timerDue_ <= due)
            return;
        timerArmed_ = true;
        timerDue_ = due;
        const uint64_t round = ++timerRound_;
        timer_.expires_at(due);  // ends an earlier wait, whose handler then finds a newer round
        timer_.async_wait([weak = weak_from_this(), round](const asio::error_code&) {
            auto self = weak.lock();
            if (!self || round != self->timerRound_)
                return;
            self->timerArmed_ = false;
            self->onTimer();
        });
    }

    void onTimer() {
        if (inflight_.empty() || state_ == State::kClosed)
            return;
        if (inflight_.front()->deadline > Clock::now()) {
            armTimer();
            return;
        }
        if (state_ == State::kConnecting) {
            drop("not connected: no answer within " + std::to_string(settings_.connectTimeoutMs) + " ms",
                 false);
        } else {
            drop("no reply from redis within " + std::to_string(settings_.replyTimeoutMs) + " ms", true);
        }
    }

    // Lets go of the current context without freeing it: everything sent on it fails with `reason`.
    void forget(const std::string& reason) {
        for (Pending* pending : inflight_)
            pending->failure = reason;
        inflight_.clear();
        setupLeft_ = 0;
        ac_ = nullptr;
        if (state_ != State::kClosed)
            state_ = State::kBroken;
    }

    // Frees the current context: every command sent on it and every command waiting for it fails with
    // `reason`.
    void drop(const std::string& reason, bool reconnect) {
        redisAsyncContext* ac = ac_;
        if (ac == nullptr)
            return;
        forget(reason);
        // Taken before the free: a handler run by it may already queue commands for a new context.
        std::vector<std::unique_ptr<Pending>> waiting = std::move(waiting_);
        waiting_.clear();
        auto opened = std::move(opened_);
        opened_ = nullptr;
        redisAsyncFree(ac);  // runs the callbacks of everything sent, without replies
        fail(waiting, reason);
        if (opened)
            opened(false, reason);
        if (reconnect)
            reconnectLater();
    }

    void connectFailed(const std::string& reason) {
        if (state_ != State::kClosed)
            state_ = State::kBroken;
        failWaiting(reason);
    }

    void failWaiting(const std::string& reason) {
        std::vector<std::unique_ptr<Pending>> waiting = std::move(waiting_);
        waiting_.clear();
        auto opened = std::move(opened_);
        opened_ = nullptr;
        fail(waiting, reason);
        if (opened)
            opened(false, reason);
    }

    static void fail(std::vector<std::unique_ptr<Pending>>& pendings, const std::string& reason) {
        for (auto& pending : pendings) {
            RedisHandler handler = std::move(pending->handler);
            pending.reset();
            handler(RedisOutcome::failure(reason));
        }
    }

    // A connection that was in use is opened again at once (once; a failed attempt waits for the next
    // command).
    void reconnectLater() {
        asio::post(io_, [weak = weak_from_this()] {
            auto self = weak.lock();
            if (self && self->state_ == State::kBroken)
                self->startConnect();
        });
    }

    // The previous context's Watch may still be reached by hiredis while that context is freed (a free asked
    // for inside a reply callback completes after it): it stays alive until the loop comes round again.
    void retireWatch() {
        if (!watch_)
            return;
        watch_->owner = nullptr;
        asio::post(io_, [old = std::move(watch_)] {});
        watch_.reset();
    }

    asio::io_context& io_;
    RedisConnectionSettings settings_;
    asio::steady_timer timer_;
    bool timerArmed_ = false;
    Clock::time_point timerDue_;
    uint64_t timerRound_ = 0;
    State state_ = State::kBroken;
    redisAsyncContext* ac_ = nullptr;
    std::shared_ptr<Watch> watch_;
    std::deque<Pending*> inflight_;                  // sent on ac_, oldest first (hiredis owns them)
    Pending* replying_ = nullptr;                    // taken off inflight_, its reply being read
    std::vector<std::unique_ptr<Pending>> waiting_;  // waiting for the connection to open
    int setupLeft_ = 0;
    std::function<void(bool, const std::string&)> opened_;
    std::string closeReason_;
};

// In the recovery: only queues the clean-up (see AsyncConnection::abandonContext).
void abandonWatch(void* target) {
    auto* watch = static_cast<Watch*>(target);
    asio::post(watch->descriptor.get_executor(), [self = watch->shared_from_this()] {
        if (self->owner != nullptr && self->context != nullptr)
            self->owner->abandonContext(self->context);
    });
}

void streamFailed(Watch& watch, const std::string& reason) {
    if (watch.owner != nullptr)
        watch.owner->streamFailed(watch.context, reason);
}

void hookCleanup(void* data) {
    auto* watch = static_cast<Watch*>(data);
    redisAsyncContext* ac = watch->context;
    if (ac == nullptr)
        return;  // hiredis may ask twice
    watch->context = nullptr;
    watch->wantRead = false;
    watch->wantWrite = false;
    if (watch->descriptor.is_open())
        watch->descriptor.release();  // stop watching; the socket is hiredis' to close
    if (watch->owner != nullptr)
        watch->owner->contextGone(ac);
}

}  // namespace

std::string answerLimitText(size_t limit) {
    return "answer larger than max_answer (" + std::to_string(limit) + " bytes)";
}

std::shared_ptr<RedisConnection> makeRedisConnection(asio::io_context& context,
                                                     const RedisConnectionSettings& settings) {
    return std::make_shared<AsyncConnection>(context, settings);
}

}  // namespace kestrum
