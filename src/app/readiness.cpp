#include "app/readiness.h"

#include "http/api_envelope.h"
#include "util/worker_pool.h"

namespace kestrum {
namespace {

constexpr auto kFreshFor = std::chrono::seconds(1);

std::string envelopeOf(const std::string& down) {
    return down.empty() ? buildEnvelope(200, "ready") : buildEnvelope(503, down);
}

}  // namespace

Readiness::Readiness(WorkerPool& workers) : workers_(workers) {}

void Readiness::addCheck(Check check) {
    checks_.push_back(std::move(check));
}

std::string Readiness::probe() const {
    std::string down;
    for (const Check& check : checks_) {
        std::string problem = check();
        if (problem.empty())
            continue;
        if (!down.empty())
            down += "; ";
        down += problem;
    }
    return down;
}

void Readiness::check(Answer answer) {
    static const std::string kDraining = "shutting down";
    if (draining_) {
        answer(false, envelopeOf(kDraining));
        return;
    }
    std::string known;
    bool fresh = false;
    {
        std::lock_guard lock(mutex_);
        const auto now = std::chrono::steady_clock::now();
        if (!probing_ && lastProbe_ != std::chrono::steady_clock::time_point{} &&
            now - lastProbe_ < kFreshFor) {
            known = lastDown_;
            fresh = true;
        } else {
            waiting_.push_back(std::move(answer));
            if (probing_)
                return;
            probing_ = true;
        }
    }
    if (fresh) {
        answer(known.empty(), envelopeOf(known));
        return;
    }
    if (!workers_.submit([this] { finish(probe()); }))
        finish("workers stopped");
}

void Readiness::finish(std::string down) {
    std::vector<Answer> answers;
    {
        std::lock_guard lock(mutex_);
        probing_ = false;
        lastProbe_ = std::chrono::steady_clock::now();
        lastDown_ = down;
        answers.swap(waiting_);
    }
    if (draining_)
        down = "shutting down";
    const std::string envelope = envelopeOf(down);
    for (Answer& answer : answers)
        answer(down.empty(), envelope);
}

}  // namespace kestrum
