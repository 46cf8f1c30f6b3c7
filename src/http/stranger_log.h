// StrangerLog: the log's account of connections that the accept filter closed (internal to src/http).
//
// A stranger gets no log line of its own, however fast strangers come: the first one after a quiet period is
// written at once, the ones that follow within the period are counted and written as one line when it ends,
// so at most one line per period reaches the log. The line names the count and the last address.
//
// Accepting loop only: count() and the timer run there; flush() runs there too, or after the loop stopped.
// Held by a shared pointer: a timer that already fired may still run after its owner let go of the object.
#pragma once

#include <asio/ip/address_v4.hpp>
#include <asio/steady_timer.hpp>
#include <chrono>
#include <cstdint>
#include <memory>

namespace kestrum {

class StrangerLog : public std::enable_shared_from_this<StrangerLog> {
  public:
    StrangerLog(asio::io_context& loop, std::chrono::steady_clock::duration period);
    StrangerLog(const StrangerLog&) = delete;
    StrangerLog& operator=(const StrangerLog&) = delete;

    void count(const asio::ip::address_v4& peer);
    // Writes what is counted and not yet written, and stops the timer (shutdown).
    void flush();

  private:
    void write();

    asio::steady_timer timer_;
    std::chrono::steady_clock::duration period_;
    std::chrono::steady_clock::time_point lastLine_{};
    bool wrote_ = false;  // a line was written, at lastLine_
    bool armed_ = false;  // the timer waits for the end of the period
    uint64_t pending_ = 0;
    asio::ip::address_v4 last_;
};

}  // namespace kestrum
