// The summary line of connections closed at accept.
#include "http/stranger_log.h"

#include <string>

#include "log/log_writer.h"
#include "util/text.h"

namespace kestrum {

StrangerLog::StrangerLog(asio::io_context& loop, std::chrono::steady_clock::duration period)
    : timer_(loop), period_(period) {}

void StrangerLog::count(const asio::ip::address_v4& peer) {
    ++pending_;
    last_ = peer;
    if (armed_)
        return;
    const auto now = std::chrono::steady_clock::now();
    if (!wrote_ || now - lastLine_ >= period_) {
        write();
        return;
    }
    // Written within the period: the rest of it is summed up when it ends. Marked armed only once the wait
    // is: a wait that could not be made leaves the next stranger to try again.
    timer_.expires_at(lastLine_ + period_);
    timer_.async_wait([weak = weak_from_this()](const asio::error_code& error) {
        auto self = weak.lock();
        if (error || !self || !self->armed_)
            return;
        self->armed_ = false;
        self->write();
    });
    armed_ = true;
}

void StrangerLog::flush() {
    timer_.cancel();
    armed_ = false;
    write();
}

void StrangerLog::write() {
    if (pending_ == 0)
        return;
    logLine("server", std::string("not in whitelist") + kFullWidthColon + "closed(" +
                          std::to_string(pending_) + "),last ip(" + last_.to_string() + ").");
    pending_ = 0;
    wrote_ = true;
    lastLine_ = std::chrono::steady_clock::now();
}

}  // namespace kestrum
