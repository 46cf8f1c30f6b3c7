// The metrics page: config.ini [sys] metrics_path answers a GET with the Prometheus text format.
//
// The request counters come from the RequestMeter that the HTTP component fills on its network threads (per
// thread, without locks); task runs, their outcomes and durations and the skipped moments are counted by the
// scheduler's threads (recordTaskStart, recordTaskRun, recordTaskSkip); open connections, back-end connection
// states and the process figures are read when the page is scraped. The page is built with prometheus-cpp's
// registry, metric families and text serializer; it is served by kestrum's own HTTP component.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "util/request_meter.h"

namespace prometheus {
class Registry;
template <typename T>
class Family;
class Counter;
class Gauge;
class Histogram;
}  // namespace prometheus

namespace kestrum {

// Connections of one back end (and Redis database) at scrape time.
struct BackendConnections {
    std::string backend;  // "mysql" or "redis"
    std::string db;       // Redis database number; empty for MySQL
    int up = 0;
    int down = 0;
};

inline constexpr const char* kMetricsContentType = "text/plain; version=0.0.4";

class MetricsPage {
  public:
    using BackendProbe = std::function<std::vector<BackendConnections>()>;

    MetricsPage();
    ~MetricsPage();
    MetricsPage(const MetricsPage&) = delete;
    MetricsPage& operator=(const MetricsPage&) = delete;

    RequestMeter& meter() { return meter_; }
    // Scheduler threads (task names in UTF-8). A run of `task` starts `latenessSeconds` after its due moment;
    // a run ended with `outcome` ("success", "failure", "idle") after `seconds`; a due moment was skipped for
    // `reason` ("lease", "lease_unavailable", "overlap", "maxdo").
    void recordTaskStart(const std::string& task, double latenessSeconds);
    void recordTaskRun(const std::string& task, const std::string& outcome, double seconds, bool success);
    void recordTaskSkip(const std::string& task, const std::string& reason);
    // Read at every scrape, on the scraping thread; must not block for long.
    void setBackendProbe(BackendProbe probe);
    void setOpenConnectionsProbe(std::function<int64_t()> probe);

    // The page (any thread).
    std::string scrape();

  private:
    RequestMeter meter_;
    std::shared_ptr<prometheus::Registry> registry_;
    prometheus::Family<prometheus::Counter>* taskRuns_ = nullptr;
    prometheus::Family<prometheus::Histogram>* taskLateness_ = nullptr;
    prometheus::Family<prometheus::Histogram>* taskDuration_ = nullptr;
    prometheus::Family<prometheus::Gauge>* taskLastSuccess_ = nullptr;
    prometheus::Family<prometheus::Counter>* taskSkipped_ = nullptr;
    prometheus::Family<prometheus::Gauge>* backends_ = nullptr;
    std::mutex scrapeMutex_;
    BackendProbe probe_;
    std::function<int64_t()> openConnections_;
};

}  // namespace kestrum
