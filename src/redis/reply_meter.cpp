#include "redis/reply_meter.h"

#include <algorithm>
#include <cstring>
#include <limits>

namespace kestrum {

namespace {

// A header line is a type byte, a sign, at most 19 digits and CR LF.
constexpr size_t kMaxHeader = 24;
// The longest string RESP allows (512 MB) is far below this; the guard only keeps the arithmetic exact.
constexpr int64_t kMaxLength = int64_t(1) << 60;
constexpr std::string_view kEmptyStatus = "+\r\n";

// The number of a header line "Tn\r\n"; false when it is none.
bool headerNumber(const std::string& header, int64_t& number) {
    if (header.size() < 4 || header[header.size() - 2] != '\r')
        return false;
    const std::string_view digits(header.data() + 1, header.size() - 3);
    size_t i = 0;
    const bool negative = digits[0] == '-';
    if (negative)
        ++i;
    if (i == digits.size() || digits.size() - i > 19)
        return false;
    uint64_t value = 0;
    for (; i < digits.size(); ++i) {
        if (digits[i] < '0' || digits[i] > '9')
            return false;
        value = value * 10 + uint64_t(digits[i] - '0');
    }
    if (value > uint64_t(std::numeric_limits<int64_t>::max()))
        return false;
    number = negative ? -int64_t(value) : int64_t(value);
    return true;
}

}  // namespace

bool ReplyMeter::feed(std::string_view input, std::string& output, std::string& error) {
    size_t i = 0;
    while (i < input.size()) {
        switch (phase_) {
            case Phase::kType:
                if (!startElement(input[i++], output, error))
                    return false;
                break;
            case Phase::kHeader: {
                const void* found = std::memchr(input.data() + i, '\n', input.size() - i);
                const size_t end = found != nullptr
                                       ? size_t(static_cast<const char*>(found) - input.data()) + 1
                                       : input.size();
                header_.append(input.data() + i, end - i);
                i = end;
                if (header_.size() > kMaxHeader) {
                    error = "malformed reply from redis (header too long)";
                    return false;
                }
                if (found != nullptr && !finishHeader(output, error))
                    return false;
                break;
            }
            case Phase::kLine:
                // The line ends at CR LF, as the reader sees it; a CR before anything else is text.
                while (i < input.size()) {
                    const char c = input[i++];
                    const bool afterCr = lineCr_;
                    lineCr_ = c == '\r';
                    if (afterCr && c == '\n') {
                        if (!lineDropped_)
                            output += '\n';
                        phase_ = Phase::kType;
                        elementDone();
                        break;
                    }
                    if (lineDropped_)
                        continue;
                    // A CR counts once it is known not to end the line.
                    if ((afterCr && count(1)) || (c != '\r' && count(1))) {
                        // Ends the line here for the reader; the rest of it is dropped.
                        output += "\r\n";
                        lineDropped_ = true;
                        continue;
                    }
                    output += c;
                }
                break;
            case Phase::kBulk: {
                const size_t take = size_t(std::min<uint64_t>(bulkLeft_, input.size() - i));
                if (!bulkDropped_)
                    output.append(input.data() + i, take);
                i += take;
                bulkLeft_ -= take;
                if (bulkLeft_ == 0) {
                    phase_ = Phase::kType;
                    elementDone();
                }
                break;
            }
        }
    }
    return true;
}

bool ReplyMeter::startElement(char type, std::string& output, std::string& error) {
    fate_ = skipLeft_ > 0 ? Fate::kSkip : cut_ ? Fate::kReplace : Fate::kPass;
    switch (type) {
        case '+':
        case '-':
            phase_ = Phase::kLine;
            lineCr_ = false;
            lineDropped_ = fate_ != Fate::kPass;
            // Inside an array the text is quoted: two bytes, one of them counted with the array.
            if (fate_ == Fate::kPass && count(open_.empty() ? 0 : 1)) {
                fate_ = Fate::kReplace;
                lineDropped_ = true;
            }
            if (fate_ == Fate::kReplace)
                output += kEmptyStatus;
            else if (fate_ == Fate::kPass)
                output += type;
            return true;
        case ':':
        case '$':
        case '*':
            phase_ = Phase::kHeader;
            header_.assign(1, type);
            return true;
        default:
            error = "malformed reply from redis (unexpected type byte)";
            return false;
    }
}

bool ReplyMeter::finishHeader(std::string& output, std::string& error) {
    int64_t n = 0;
    const char type = header_[0];
    if (!headerNumber(header_, n) || (type != ':' && (n < -1 || n > kMaxLength))) {
        error = "malformed reply from redis (bad header)";
        return false;
    }
    const bool inArray = !open_.empty();
    phase_ = Phase::kType;

    // The bytes this element adds to the reply's text, less the one its array counted already.
    uint64_t bytes = 0;
    if (type == ':') {
        bytes = header_.size() - 3;  // the digits (and sign)
    } else if (n == -1) {
        bytes = inArray ? 4 : 0;  // "null", or empty text
    } else if (type == '$') {
        bytes = uint64_t(n) + (inArray ? 2 : 0);
    } else {
        bytes = n == 0 ? 2 : 2 * uint64_t(n) + 1;  // brackets, commas and a byte for each element
    }
    if (inArray)
        bytes -= 1;
    if (fate_ == Fate::kPass && count(bytes))
        fate_ = Fate::kReplace;

    if (type == '$' && n >= 0) {
        phase_ = Phase::kBulk;
        bulkLeft_ = uint64_t(n) + 2;
        bulkDropped_ = fate_ != Fate::kPass;
    }
    if (fate_ == Fate::kPass)
        output += header_;
    else if (fate_ == Fate::kReplace)
        output += kEmptyStatus;
    if (phase_ == Phase::kBulk)
        return true;

    if (type == '*' && n > 0) {
        if (fate_ == Fate::kPass) {
            open_.push_back(n);
            return true;
        }
        if (fate_ == Fate::kReplace) {
            skipLeft_ = uint64_t(n);  // done when the last of them is dropped
            return true;
        }
        skipLeft_ += uint64_t(n);
    }
    elementDone();
    return true;
}

bool ReplyMeter::count(uint64_t bytes) {
    cost_ = bytes > std::numeric_limits<uint64_t>::max() - cost_ ? std::numeric_limits<uint64_t>::max()
                                                                 : cost_ + bytes;
    if (cost_ > limit_)
        cut_ = true;
    return cut_;
}

void ReplyMeter::elementDone() {
    if (fate_ == Fate::kSkip) {
        if (--skipLeft_ > 0)
            return;
        // The last dropped element completes the array that was replaced.
    }
    while (!open_.empty()) {
        if (--open_.back() > 0)
            return;
        open_.pop_back();
    }
    replyDone();
}

void ReplyMeter::replyDone() {
    ++completed_;
    // A cut reply may have reached the reader whole (as its replacement) before the meter is through with
    // it; then it was handed out already.
    if (cut_ && completed_ > delivered_)
        cutReplies_.push_back(completed_);
    cut_ = false;
    cost_ = 0;
}

bool ReplyMeter::nextReplyCut() {
    ++delivered_;
    if (delivered_ > completed_)
        return cut_;  // the reply still being dropped
    if (!cutReplies_.empty() && cutReplies_.front() == delivered_) {
        cutReplies_.pop_front();
        return true;
    }
    return false;
}

}  // namespace kestrum
