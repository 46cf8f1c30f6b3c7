// RedisConnection: one asynchronous, pipelined connection to Redis that belongs to one network thread.
//
// Commands of any number of callers are written back to back on the connection and their replies are matched
// in order. Every command is answered exactly once: with its own reply, or with a failure when no reply can
// come (connection lost, no reply within the reply time-out, connection closed). When the oldest command has
// waited longer than the reply time-out the connection is dropped, so every command behind it fails too and
// never receives another command's reply; the next command (or, after a lost connection, the connection
// itself) opens it again.
//
// Opening: TCP connect, then AUTH (password set), SELECT (db not 0), or PING when neither is needed. Commands
// sent meanwhile wait and go out only after every step succeeded, so a failed SELECT can never let a command
// run on the wrong database.
//
// A reply longer than the settings' answer limit is dropped as it is read and its command fails (see
// reply_meter.h).
//
// Handlers run on the connection's thread, except for large replies when the settings name an offload: their
// conversion to internal text and their handler then run there.
//
// Thread rules: create, use and destroy an object on the thread that runs its io_context (or before that
// thread runs / after it stopped). The connection throws nothing of its own; a handler that throws ends the
// event it runs in, and the fault guard abandons the connection (see util/recovery_point.h).
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "redis/redis_defaults.h"

namespace asio {
class io_context;
}

namespace kestrum {

// Runs a job on a thread that is not a network thread; false when it cannot take the job (the caller then
// runs it itself).
using RedisOffload = std::function<bool(std::function<void()>)>;

// Texts longer than this are converted between encodings on the offload thread, not on a network thread.
constexpr size_t kLargeRedisText = 64 * 1024;

struct RedisConnectionSettings {
    // Best a numeric address: hiredis resolves a host name on every connect, on the network thread
    // (RedisClientSet hands over the address it resolved once).
    std::string host = kDefaultRedisHost;
    int port = kDefaultRedisPort;
    std::string password;  // as sent: already converted for the wire
    int db = 0;
    bool isUnicode = true;  // replies are UTF-8 and become internal text; otherwise bytes stay as they are
    int connectTimeoutMs = kDefaultRedisConnectTimeoutMs;
    int replyTimeoutMs = kDefaultRedisReplyTimeoutMs;
    // A reply whose text would be longer fails its command with answerLimitText() and is never held: it is
    // read and dropped as it arrives (the connection stays open).
    size_t maxAnswerBytes = kDefaultRedisMaxAnswer;
    // Where a large reply is converted to internal text and handed to its handler (empty: on the connection's
    // thread).
    RedisOffload offload;
};

// The outcome of one command: the reply as text, or a failure with its reason. `errorSet` is false for the
// one failure that has no reason to tell (a database without a connection set).
struct RedisOutcome {
    bool ok = false;
    std::string text;  // reply text on success, error text on failure
    bool errorSet = true;

    static RedisOutcome success(std::string text) { return {true, std::move(text), true}; }
    static RedisOutcome failure(std::string error) { return {false, std::move(error), true}; }
};

using RedisHandler = std::function<void(RedisOutcome)>;

// The encoding of the text a command's outcome carries.
enum class ReplyForm {
    kInternal,  // the internal encoding: replies of an isUnicode connection are converted from UTF-8
    kUtf8,      // UTF-8, the form of an API answer: replies of a connection without isUnicode are converted
                // from the internal encoding, those of an isUnicode one are handed on as read (unchecked)
};

// The failure text of an answer longer than `limit` bytes: "answer larger than max_answer (N bytes)".
std::string answerLimitText(size_t limit);

class RedisConnection {
  public:
    virtual ~RedisConnection() = default;

    // Opens the connection; `opened` (optional) learns whether every opening step succeeded, or why not.
    virtual void open(std::function<void(bool ok, const std::string& error)> opened) = 0;
    // Queues one command (its words as sent) and calls `handler` with the outcome, its text in `form`. Opens
    // the connection first when it is not open. `handler` may run before send() returns (a closed connection,
    // a failed connect). Failures of the connection itself are told in ASCII, the same in either form.
    virtual void send(std::vector<std::string> words, RedisHandler handler,
                      ReplyForm form = ReplyForm::kInternal) = 0;
    // Fails every waiting command with `reason`, closes the connection and refuses all later ones.
    virtual void close(const std::string& reason) = 0;

    // Commands sent or waiting to be sent and not yet answered.
    virtual size_t inFlight() const = 0;
    virtual bool isOpen() const = 0;
};

std::shared_ptr<RedisConnection> makeRedisConnection(asio::io_context& context,
                                                     const RedisConnectionSettings& settings);

}  // namespace kestrum
