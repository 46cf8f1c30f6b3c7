// RedisSyncClient over hiredis' blocking API. Arguments always travel as an argument vector
// (redisCommandArgv), so no key or value is ever re-parsed by Redis.
#include "redis/redis_sync_client.h"

#include <hiredis/hiredis.h>
#include <poll.h>
#include <sys/time.h>

#include "redis/command_words.h"
#include "util/encoding.h"

namespace kestrum {

namespace {

struct ReplyFree {
    void operator()(redisReply* reply) const { freeReplyObject(reply); }
};
using ReplyPtr = std::unique_ptr<redisReply, ReplyFree>;

timeval toTimeval(int ms) {
    timeval tv{};
    tv.tv_sec = ms / 1000;
    tv.tv_usec = (ms % 1000) * 1000;
    return tv;
}

}  // namespace

void RedisSyncClient::ContextFree::operator()(redisContext* context) const {
    redisFree(context);
}

RedisSyncClient::RedisSyncClient() = default;
RedisSyncClient::~RedisSyncClient() = default;

bool RedisSyncClient::open(std::string& error) {
    context_.reset();
    lastReplyAt_ = {};
    redisContext* raw = timeoutMs_ > 0 ? redisConnectWithTimeout(host_.c_str(), port_, toTimeval(timeoutMs_))
                                       : redisConnect(host_.c_str(), port_);
    if (raw == nullptr) {
        error = "cannot allocate a redis context";
        return false;
    }
    std::unique_ptr<redisContext, ContextFree> context(raw);
    if (context->err != 0) {
        error = context->errstr;
        return false;
    }
    // Without a reply limit one stalled server (or a blocking command) would hold the caller for ever.
    if (timeoutMs_ > 0 && redisSetTimeout(context.get(), toTimeval(timeoutMs_)) != REDIS_OK) {
        error = context->errstr[0] != '\0' ? context->errstr : "cannot set the reply time-out";
        return false;
    }
    context_ = std::move(context);

    if (!password_.empty()) {
        std::string ignored;
        if (!sendWords({"AUTH", isUnicode_ ? gbkToUtf8(password_) : password_}, &ignored, error)) {
            context_.reset();
            return false;
        }
    }
    if (db_ != 0) {
        std::string ignored;
        if (!sendWords({"SELECT", std::to_string(db_)}, &ignored, error)) {
            context_.reset();
            return false;
        }
    }
    return true;
}

bool RedisSyncClient::connect(const std::string& host, int port, const std::string& password, int db,
                              int timeoutMs, bool isUnicode, std::string& error) {
    hasSettings_ = true;
    host_ = host;
    port_ = port;
    password_ = password;
    db_ = db;
    timeoutMs_ = timeoutMs;
    isUnicode_ = isUnicode;
    connectError_.clear();
    if (open(error))
        return true;
    connectError_ = error;
    return false;
}

bool RedisSyncClient::checkStatus() {
    if (!isConnected())
        return false;
    // A closed, reset or out-of-step connection shows on the socket without asking the server: anything
    // readable while no command is outstanding is an end-of-stream, an error or bytes nobody asked for.
    pollfd p{context_->fd, POLLIN | POLLRDHUP, 0};
    if (poll(&p, 1, 0) != 0)
        return false;
    // A connection that answered a moment ago is trusted; only one that has been quiet is asked, which
    // catches peers that vanished without closing. Busy connections so need one round trip per command, not
    // two.
    if (std::chrono::steady_clock::now() - lastReplyAt_ < kTrustWindow)
        return true;
    const char* argv[] = {"PING"};
    size_t lengths[] = {4};
    ReplyPtr reply(static_cast<redisReply*>(redisCommandArgv(context_.get(), 1, argv, lengths)));
    if (!reply || reply->type != REDIS_REPLY_STATUS)
        return false;
    lastReplyAt_ = std::chrono::steady_clock::now();
    return true;
}

void RedisSyncClient::reconnect() {
    if (!hasSettings_)
        return;
    std::string error;
    connectError_.clear();
    if (!open(error))
        connectError_ = error;
}

bool RedisSyncClient::isConnected() const {
    return context_ != nullptr && context_->err == 0;
}

bool RedisSyncClient::runCommand(std::string* result, std::string& error, std::string_view commandTemplate,
                                 std::initializer_list<CommandArg> params) {
    std::vector<std::string> texts;
    texts.reserve(params.size());
    for (const CommandArg& param : params)
        texts.push_back(isUnicode_ ? gbkToUtf8(param.text()) : param.text());
    std::vector<std::string> words;
    bool built = isUnicode_ ? buildCommandWords(gbkToUtf8(commandTemplate), texts, false, words, error)
                            : buildCommandWords(commandTemplate, texts, true, words, error);
    if (!built)
        return false;
    std::string ignored;
    return sendWords(words, result != nullptr ? result : &ignored, error);
}

bool RedisSyncClient::sendWords(const std::vector<std::string>& words, std::string* result,
                                std::string& error) {
    if (context_ == nullptr) {
        error = connectError_.empty() ? "not connected" : "not connected: " + connectError_;
        return false;
    }
    std::vector<const char*> argv;
    std::vector<size_t> lengths;
    argv.reserve(words.size());
    lengths.reserve(words.size());
    for (const std::string& word : words) {
        argv.push_back(word.data());
        lengths.push_back(word.size());
    }
    ReplyPtr reply(static_cast<redisReply*>(
        redisCommandArgv(context_.get(), int(words.size()), argv.data(), lengths.data())));
    if (!reply) {
        error = context_->errstr[0] != '\0' ? context_->errstr : "connection lost";
        return false;
    }
    lastReplyAt_ = std::chrono::steady_clock::now();
    std::string text;
    if (!replyToText(reply.get(), isUnicode_, text, error))
        return false;
    *result = std::move(text);
    return true;
}

}  // namespace kestrum
