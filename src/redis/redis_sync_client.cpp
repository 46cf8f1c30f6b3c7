// RedisSyncClient over hiredis' blocking API. Arguments always travel as an argument vector
// (redisCommandArgv), so no key or value is ever re-parsed by Redis.
#include "redis/redis_sync_client.h"

#include <hiredis/hiredis.h>
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

bool RedisSyncClient::connect(const std::string& host, int port, const std::string& password, int db,
                              int timeoutMs, bool isUnicode, std::string& error) {
    hasSettings_ = true;
    host_ = host;
    port_ = port;
    password_ = password;
    db_ = db;
    timeoutMs_ = timeoutMs;
    isUnicode_ = isUnicode;

    context_.reset();
    redisContext* raw = timeoutMs > 0 ? redisConnectWithTimeout(host.c_str(), port, toTimeval(timeoutMs))
                                      : redisConnect(host.c_str(), port);
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
    if (timeoutMs > 0 && redisSetTimeout(context.get(), toTimeval(timeoutMs)) != REDIS_OK) {
        error = context->errstr[0] != '\0' ? context->errstr : "cannot set the reply time-out";
        return false;
    }
    context_ = std::move(context);

    if (!password.empty()) {
        std::string ignored;
        if (!sendWords({"AUTH", isUnicode ? gbkToUtf8(password) : password}, &ignored, error)) {
            context_.reset();
            return false;
        }
    }
    if (db != 0) {
        std::string ignored;
        if (!sendWords({"SELECT", std::to_string(db)}, &ignored, error)) {
            context_.reset();
            return false;
        }
    }
    return true;
}

bool RedisSyncClient::checkStatus() {
    if (!isConnected())
        return false;
    const char* argv[] = {"PING"};
    size_t lengths[] = {4};
    ReplyPtr reply(static_cast<redisReply*>(redisCommandArgv(context_.get(), 1, argv, lengths)));
    return reply && reply->type == REDIS_REPLY_STATUS;
}

void RedisSyncClient::reconnect() {
    if (!hasSettings_)
        return;
    std::string ignored;
    connect(host_, port_, password_, db_, timeoutMs_, isUnicode_, ignored);
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
        error = "not connected";
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
    std::string text;
    if (!replyToText(reply.get(), isUnicode_, text, error))
        return false;
    *result = std::move(text);
    return true;
}

}  // namespace kestrum
