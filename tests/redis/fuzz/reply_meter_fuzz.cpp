// Feeds arbitrary bytes through a ReplyMeter into hiredis' reader, the way a connection does: the first byte
// is the limit, the second the size of the pieces the rest arrives in. Checks that whatever the meter passes
// on never makes the reader hold more of a cut reply than the limit allows, and that a reply the meter calls
// cut never arrives larger than its stand-ins.
#include <hiredis/hiredis.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "redis/command_words.h"
#include "redis/reply_meter.h"

namespace {

void check(bool condition) {
    if (!condition)
        std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2)
        return 0;
    const size_t limit = data[0];
    const size_t piece = size_t(data[1]) + 1;
    const std::string_view stream(reinterpret_cast<const char*>(data) + 2, size - 2);

    kestrum::ReplyMeter meter(limit);
    redisReader* reader = redisReaderCreate();
    check(reader != nullptr);
    for (size_t at = 0; at < stream.size(); at += piece) {
        std::string passed;
        std::string error;
        if (!meter.feed(stream.substr(at, piece), passed, error)) {
            check(!error.empty());
            break;
        }
        if (redisReaderFeed(reader, passed.data(), passed.size()) != REDIS_OK)
            break;
        bool readerFailed = false;
        for (;;) {
            void* reply = nullptr;
            if (redisReaderGetReply(reader, &reply) != REDIS_OK) {
                readerFailed = true;  // deeper nesting than hiredis takes: the connection is dropped
                break;
            }
            if (reply == nullptr)
                break;
            std::string text;
            std::string problem;
            kestrum::replyToWireText(static_cast<redisReply*>(reply), true, text, problem);
            if (meter.nextReplyCut()) {
                // What reached the reader of a cut reply: what was counted before the cut (at most the
                // limit and one element's worth of stand-ins per byte of it) and empty statuses.
                check(text.size() + problem.size() <= 8 * (limit + 64));
            }
            freeReplyObject(reply);
        }
        if (readerFailed)
            break;
    }
    redisReaderFree(reader);
    return 0;
}
