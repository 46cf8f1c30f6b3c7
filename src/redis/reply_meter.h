// ReplyMeter: stands between a Redis connection's socket and hiredis' reply reader and keeps every reply
// larger than a limit out of memory.
//
// The meter follows the reply stream (RESP2: the connections never switch protocols, HELLO is refused) and
// counts, for each reply, a lower bound of the size of its text as the gateway renders it: the bytes of
// strings (with quotes inside arrays), the digits of integers, "null" for a nil inside an array, brackets,
// commas, and one byte for each element an array announces before any element arrives. As soon as a reply
// passes the limit, the rest of it never reaches the reader: a string or array that was not passed on yet
// is replaced by an empty status reply ("+"), each further element of an array already passed on is replaced
// the same way, and the bytes they stood for are read and dropped. The reader thus sees a small, well-formed
// reply, the connection stays in step with Redis (the commands behind keep their own replies), and the meter
// notes the reply as cut so that its command is answered with a failure instead.
//
// One meter per hiredis context, used by the context's thread only. Nothing is thrown.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <string_view>
#include <vector>

namespace kestrum {

class ReplyMeter {
  public:
    explicit ReplyMeter(size_t limit) : limit_(limit) {}

    // Passes bytes read from the socket on: appends what the reader is to see to `output`. False, with
    // `error` set, on bytes that are not a RESP2 reply stream (the connection must be dropped then).
    bool feed(std::string_view input, std::string& output, std::string& error);

    // To be called once for each reply the reader hands out, in order: true when that reply was cut. (The
    // reader may hand out a cut reply while the meter is still dropping the rest of it.)
    bool nextReplyCut();

    size_t limit() const { return limit_; }

  private:
    enum class Phase {
        kType,    // next byte: the type of an element
        kHeader,  // collecting a header line ($n, *n, :n) in header_
        kLine,    // inside the text of a simple line (+..., -...)
        kBulk,    // inside a string's payload and its CR LF
    };
    // What happens to the element being read.
    enum class Fate {
        kPass,     // passed on and counted
        kReplace,  // replaced by "+" (emitted once its extent is known)
        kSkip,     // part of a replaced array: dropped without a trace
    };

    bool startElement(char type, std::string& output, std::string& error);
    bool finishHeader(std::string& output, std::string& error);
    // Adds to the current reply's count; true when the reply is (now) over the limit.
    bool count(uint64_t bytes);
    // The element just read is complete (a dropped one counts towards its replaced array).
    void elementDone();
    void replyDone();

    size_t limit_;
    Phase phase_ = Phase::kType;
    Fate fate_ = Fate::kPass;
    std::string header_;
    bool lineDropped_ = false;         // the rest of the simple line is dropped
    bool lineCr_ = false;              // the line's last byte was a CR
    uint64_t bulkLeft_ = 0;            // payload bytes (and CR LF) still to come
    bool bulkDropped_ = false;         // the payload is dropped
    std::vector<int64_t> open_;        // elements still to come of each array passed on, outermost first
    uint64_t skipLeft_ = 0;            // elements still to drop of a replaced array
    uint64_t cost_ = 0;                // the current reply's count
    bool cut_ = false;                 // the current reply passed the limit
    uint64_t completed_ = 0;           // replies complete in the stream
    uint64_t delivered_ = 0;           // replies handed out by the reader
    std::deque<uint64_t> cutReplies_;  // numbers (1-based) of complete replies that were cut
};

}  // namespace kestrum
