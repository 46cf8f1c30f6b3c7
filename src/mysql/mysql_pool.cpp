// The pool's admission queue (a free slot or a wait with a limit), its wait-limit sweep, opening and closing
// the slots, and the keep-alive.
#include "mysql/mysql_pool.h"

#include <algorithm>
#include <asio/io_context.hpp>
#include <asio/steady_timer.hpp>
#include <cassert>
#include <ctime>
#include <future>
#include <optional>
#include <thread>

#include "mysql/mysql_connection.h"
#include "util/event_loops.h"
#include "util/recovery_point.h"

namespace kestrum {

namespace {

MysqlResult busyResult() {
    return MysqlResult();
}

}  // namespace

struct MysqlPool::Sweeper {
    explicit Sweeper(asio::io_context& context) : timer(context) {}
    asio::steady_timer timer;
};

MysqlPool::MysqlPool(EventLoops& loops, PoolTiming timing)
    : loops_(loops), timing_(std::move(timing)), sweeper_(std::make_unique<Sweeper>(loops.context(0))) {}

MysqlPool::~MysqlPool() {
    close();
}

int64_t MysqlPool::now() const {
    if (timing_.nowSeconds)
        return timing_.nowSeconds();
    return static_cast<int64_t>(std::time(nullptr));
}

int MysqlPool::open(int connectionCount, const std::string& host, int port, const std::string& user,
                    const std::string& password, const std::string& database, const std::string& charset,
                    int connectTimeoutSeconds) {
    if (opened_)
        return slotCount();
    opened_ = true;
    if (loops_.currentIndex() >= 0 || !loops_.running())
        return 0;

    PoolSlotInfo settings;
    settings.host = host;
    settings.port = port;
    settings.user = user;
    settings.password = password;
    settings.database = database;
    settings.charset = charset;

    clientCount_ = connectionCount > 0 ? connectionCount : 0;
    for (int i = 0; i < clientCount_; ++i) {
        // Slots are spread over the network threads in turn.
        int loop = static_cast<int>(slots_.size()) % loops_.size();
        auto slot = std::make_unique<MysqlConnection>(*this, loops_.context(loop));
        slot->loop = loop;
        slot->info = settings;
        slot->info.clientIndex = i;
        slot->connectTimeoutSeconds = connectTimeoutSeconds;
        slot->running = true;
        // One connection at a time, in order, so the slot numbers follow the attempts.
        std::promise<bool> connected;
        MysqlConnection* raw = slot.get();
        loops_.post(
            loop, [raw, &connected] { raw->beginOpen([&connected](bool ok) { connected.set_value(ok); }); });
        if (!connected.get_future().get()) {
            // A client that does not connect gets no slot and is never used; it goes once the waits it
            // cancelled have run on its loop.
            loops_.runAndWait(loop, [raw] { raw->forgetSocket(); });
            loops_.runAndWait(loop, [] {});
            continue;
        }
        slot->number = static_cast<int>(slots_.size()) + 1;
        slots_.push_back(std::move(slot));
    }
    GuardedLock lock(mutex_);
    for (int k = 1; k <= slotCount(); ++k)
        idle_.push_back(k);
    return slotCount();
}

MysqlConnection* MysqlPool::slotAt(int slot) const {
    if (slot < 1 || slot > static_cast<int>(slots_.size()))
        return nullptr;
    return slots_[static_cast<size_t>(slot - 1)].get();
}

void SqlWork::refuse() {
    if (batch) {
        if (batchDone)
            batchDone(MysqlBatchResult{});
    } else if (done) {
        done(MysqlResult());
    }
}

void MysqlPool::execute(std::string statement, Done done) {
    execute(SqlStatement{std::move(statement), false, {}}, std::move(done));
}

void MysqlPool::execute(SqlStatement statement, Done done) {
    SqlWork work;
    work.statements.push_back(std::move(statement));
    work.done = std::move(done);
    submit(std::move(work));
}

void MysqlPool::executeBatch(std::vector<SqlStatement> statements, bool transaction, BatchDone done) {
    SqlWork work;
    work.statements = std::move(statements);
    work.batch = true;
    work.transaction = transaction;
    work.batchDone = std::move(done);
    if (work.statements.empty()) {
        MysqlBatchResult empty;
        empty.status = MysqlResult::Status::kDone;
        work.batchDone(std::move(empty));
        return;
    }
    submit(std::move(work));
}

void MysqlPool::submit(SqlWork work) {
    const int here = loops_.currentIndex();
    MysqlConnection* slot = nullptr;
    {
        GuardedLock lock(mutex_);
        if (closed_ || slots_.empty()) {
            // Nothing could ever serve it.
        } else if (!idle_.empty()) {
            auto chosen = idle_.begin();
            if (here >= 0) {
                // A slot of the caller's own thread saves two thread hops.
                for (auto it = idle_.begin(); it != idle_.end(); ++it) {
                    if (slots_[static_cast<size_t>(*it - 1)]->loop == here) {
                        chosen = it;
                        break;
                    }
                }
            }
            slot = slots_[static_cast<size_t>(*chosen - 1)].get();
            idle_.erase(chosen);
            slot->running = true;
        } else {
            waiting_.push_back({std::move(work), std::chrono::steady_clock::now() + timing_.waitLimit});
            armSweep();
            return;
        }
    }
    if (slot == nullptr) {
        work.refuse();
        return;
    }
    if (slot->loop == here) {
        slot->beginWork(std::move(work));
        return;
    }
    loops_.post(slot->loop, [slot, work = std::move(work)]() mutable { slot->beginWork(std::move(work)); });
}

MysqlResult MysqlPool::run(std::string statement) {
    return run(SqlStatement{std::move(statement), false, {}});
}

MysqlResult MysqlPool::run(SqlStatement statement) {
    if (loops_.currentIndex() >= 0) {
        assert(!"MysqlPool::run would block a network thread");
        return busyResult();
    }
    std::promise<MysqlResult> result;
    auto future = result.get_future();
    execute(std::move(statement), [&result](MysqlResult outcome) { result.set_value(std::move(outcome)); });
    return future.get();
}

void MysqlPool::release(int number, int position) {
    MysqlConnection* slot = slotAt(number);
    if (slot == nullptr)
        return;
    std::optional<Waiter> next;
    {
        GuardedLock lock(mutex_);
        if (!closed_ && !waiting_.empty()) {
            next.emplace(std::move(waiting_.front()));
            waiting_.pop_front();
            slot->running = true;
        } else if (position >= 0) {
            // Back from a keep-alive: the queue order is as if it had never left.
            idle_.insert(
                idle_.begin() + std::min<std::ptrdiff_t>(position, static_cast<std::ptrdiff_t>(idle_.size())),
                number);
            return;
        } else {
            idle_.push_back(number);
            return;
        }
    }
    // Always through the slot's loop, so that a release inside a slot's own completion never re-enters it.
    loops_.post(slot->loop,
                [slot, waiter = std::move(*next)]() mutable { slot->beginWork(std::move(waiter.work)); });
}

void MysqlPool::armSweep() {
    if (sweepArmed_)
        return;
    sweepArmed_ = true;
    loops_.post(0, [this] { sweep(); });
}

// Loop 0: answers the statements whose wait limit has passed, one at a time, then waits for the next limit.
// A caller's callback that throws or faults ends the sweep's unit of work; its abandon action posts the sweep
// again, so the statements still waiting time out as before.
void MysqlPool::sweep() {
    WorkUnit work("mysql sweep", 0, &MysqlPool::resumeSweep, this);
    std::chrono::steady_clock::time_point next;
    for (;;) {
        std::optional<Waiter> expired;
        {
            GuardedLock lock(mutex_);
            if (waiting_.empty() || closed_) {
                sweepArmed_ = false;
                return;
            }
            if (waiting_.front().deadline > std::chrono::steady_clock::now()) {
                next = waiting_.front().deadline;
                break;
            }
            expired.emplace(std::move(waiting_.front()));
            waiting_.pop_front();
        }
        expired->work.refuse();
    }
    sweeper_->timer.expires_at(next);
    sweeper_->timer.async_wait([this](const asio::error_code& error) {
        if (!error)
            sweep();
    });
}

// In the recovery from a callback of the sweep that threw or faulted: only posts.
void MysqlPool::resumeSweep(void* pool) {
    auto* self = static_cast<MysqlPool*>(pool);
    self->loops_.post(0, [self] { self->sweep(); });
}

void MysqlPool::heartbeat(int thresholdSeconds) {
    if (loops_.currentIndex() >= 0) {
        assert(!"MysqlPool::heartbeat would block a network thread");
        return;
    }
    for (int k = 1; k <= slotCount(); ++k) {
        if (timing_.heartbeatSpacingMs > 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(timing_.heartbeatSpacingMs));
        MysqlConnection* slot = slotAt(k);
        {
            GuardedLock lock(mutex_);
            if (closed_)
                return;
            auto it = std::find(idle_.begin(), idle_.end(), k);
            if (it == idle_.end())
                continue;  // a statement holds it: the connection is in use anyway
            slot->queuePosition = static_cast<int>(it - idle_.begin());
            idle_.erase(it);
            slot->running = true;
        }
        std::promise<void> finished;
        loops_.post(slot->loop, [slot, thresholdSeconds, &finished] {
            slot->beginKeepAlive(thresholdSeconds, [&finished](bool) { finished.set_value(); });
        });
        finished.get_future().wait();
    }
}

void MysqlPool::close() {
    std::deque<Waiter> waiters;
    {
        GuardedLock lock(mutex_);
        if (closed_)
            return;
        closed_ = true;
        waiters.swap(waiting_);
    }
    for (Waiter& waiter : waiters)
        waiter.work.refuse();
    if (!loops_.running()) {
        for (auto& slot : slots_)
            slot->stop();
        return;
    }
    // Statements in progress fail at their next socket operation; their callers get the failure.
    for (int loop = 0; loop < loops_.size(); ++loop) {
        loops_.runAndWait(loop, [this, loop] {
            for (auto& slot : slots_) {
                if (slot->loop == loop)
                    slot->abort();
            }
        });
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    for (auto& slot : slots_) {
        while (slot->running && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    // The sockets leave the reactors on their own threads; the aborted waits run before the second pass.
    for (int loop = 0; loop < loops_.size(); ++loop) {
        loops_.runAndWait(loop, [this, loop] {
            if (loop == 0)
                sweeper_->timer.cancel();
            for (auto& slot : slots_) {
                if (slot->loop == loop)
                    slot->stop();
            }
        });
        loops_.runAndWait(loop, [] {});
    }
    // Closing the handles (a short COM_QUIT each) happens here, off the network threads.
    for (auto& slot : slots_) {
        if (!slot->running)
            slot->closeClient();
    }
}

PoolSlotInfo MysqlPool::slotInfo(int slot) const {
    MysqlConnection* entry = slotAt(slot);
    if (!entry)
        return {};
    PoolSlotInfo info = entry->info;
    info.lastUsed = entry->lastUsed.load();
    return info;
}

int MysqlPool::connectedCount() const {
    int count = 0;
    for (const auto& slot : slots_)
        count += slot->connected.load(std::memory_order_relaxed) ? 1 : 0;
    return count;
}

bool MysqlPool::closed() const {
    GuardedLock lock(mutex_);
    return closed_;
}

size_t MysqlPool::idleCount() const {
    GuardedLock lock(mutex_);
    return idle_.size();
}

}  // namespace kestrum
