#include "app/metrics.h"

#include <dirent.h>
#include <sys/resource.h>
#include <unistd.h>

#include <prometheus/counter.h>
#include <prometheus/family.h>
#include <prometheus/gauge.h>
#include <prometheus/histogram.h>
#include <prometheus/registry.h>
#include <prometheus/text_serializer.h>
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <limits>
#include <sstream>

namespace kestrum {
namespace {

using prometheus::ClientMetric;
using prometheus::MetricFamily;
using prometheus::MetricType;

// Outcomes that are shown even while they are 0, so that rates work from the first request on.
struct ExpectedSeries {
    MeteredEndpoint endpoint;
    std::vector<MeteredCode> codes;
};
const ExpectedSeries kExpectedSeries[] = {
    {MeteredEndpoint::Heartbeat, {MeteredCode::Ok200}},
    {MeteredEndpoint::Mysql, {MeteredCode::Ok200, MeteredCode::Sql401, MeteredCode::NoSlot501}},
    {MeteredEndpoint::Redis, {MeteredCode::Ok200, MeteredCode::Failure100}},
    {MeteredEndpoint::Websocket, {MeteredCode::Switch101}},
    {MeteredEndpoint::None, {MeteredCode::NoAnswer}},
};

const prometheus::Histogram::BucketBoundaries kLatenessBuckets = {0.001, 0.005, 0.01, 0.025, 0.05, 0.1,
                                                                  0.25,  0.5,   1,    2.5,   5};

// Task runs last from milliseconds (a URL) to hours (a backup program).
const prometheus::Histogram::BucketBoundaries kTaskDurationBuckets = {0.01, 0.05, 0.1, 0.5, 1,   5,
                                                                      10,   30,   60,  300, 900, 3600};

MetricFamily family(const char* name, const char* help, MetricType type) {
    MetricFamily f;
    f.name = name;
    f.help = help;
    f.type = type;
    return f;
}

ClientMetric valueMetric(double value, std::vector<ClientMetric::Label> labels = {}) {
    ClientMetric m;
    m.label = std::move(labels);
    m.counter.value = value;
    m.gauge.value = value;
    return m;
}

// Process figures from /proc/self, as the Prometheus client libraries define them.
struct ProcessFigures {
    double cpuSeconds = 0;
    double startTimeSeconds = 0;
    double residentBytes = 0;
    double virtualBytes = 0;
    double openFds = 0;
    double maxFds = 0;
};

double bootTimeSeconds() {
    std::ifstream stat("/proc/stat");
    std::string key;
    while (stat >> key) {
        if (key == "btime") {
            double value = 0;
            stat >> value;
            return value;
        }
        stat.ignore(std::numeric_limits<std::streamsize>::max(), '\n');
    }
    return 0;
}

ProcessFigures readProcessFigures() {
    ProcessFigures figures;
    const double ticks = static_cast<double>(sysconf(_SC_CLK_TCK));
    const double pageSize = static_cast<double>(sysconf(_SC_PAGESIZE));
    std::ifstream statFile("/proc/self/stat");
    std::string stat((std::istreambuf_iterator<char>(statFile)), std::istreambuf_iterator<char>());
    // The command name in parentheses may hold blanks; the fields after its closing parenthesis start with
    // field 3 (state).
    size_t close = stat.rfind(')');
    if (close != std::string::npos) {
        std::istringstream fields(stat.substr(close + 2));
        std::vector<std::string> field((std::istream_iterator<std::string>(fields)),
                                       std::istream_iterator<std::string>());
        // field[i] is stat field i + 3: utime 14, stime 15, starttime 22, vsize 23, rss 24.
        if (field.size() > 21) {
            figures.cpuSeconds = (std::stod(field[11]) + std::stod(field[12])) / ticks;
            figures.startTimeSeconds = bootTimeSeconds() + std::stod(field[19]) / ticks;
            figures.virtualBytes = std::stod(field[20]);
            figures.residentBytes = std::stod(field[21]) * pageSize;
        }
    }
    if (DIR* dir = opendir("/proc/self/fd")) {
        int count = 0;
        while (dirent* entry = readdir(dir)) {
            if (entry->d_name[0] != '.')
                ++count;
        }
        closedir(dir);
        figures.openFds = count - 1;  // without the directory's own descriptor
    }
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0)
        figures.maxFds = limit.rlim_cur == RLIM_INFINITY ? 0 : static_cast<double>(limit.rlim_cur);
    return figures;
}

void addRequestFamilies(const RequestMeter::Snapshot& s, const CallerCounts& callerCounts,
                        int64_t openConnections, std::vector<MetricFamily>& out) {
    const bool callersInUse = callerCounts.inUse();
    const std::vector<std::pair<std::string, CallerCounts::Table>> callers =
        callersInUse ? callerCounts.snapshot() : std::vector<std::pair<std::string, CallerCounts::Table>>{};
    MetricFamily requests =
        family("kestrum_requests_total",
               "Requests settled, by endpoint and outcome (envelope errcode; none: no answer).",
               MetricType::Counter);
    for (size_t e = 0; e < kMeteredEndpoints; ++e) {
        const auto endpoint = static_cast<MeteredEndpoint>(e);
        for (size_t c = 0; c < kMeteredCodes; ++c) {
            const auto code = static_cast<MeteredCode>(c);
            bool expected = false;
            for (const ExpectedSeries& series : kExpectedSeries) {
                if (series.endpoint == endpoint)
                    expected =
                        std::find(series.codes.begin(), series.codes.end(), code) != series.codes.end();
            }
            if (!expected && s.requests[e][c] == 0)
                continue;
            if (!callersInUse) {
                requests.metric.push_back(valueMetric(
                    static_cast<double>(s.requests[e][c]),
                    {{"endpoint", meteredEndpointName(endpoint)}, {"errcode", meteredCodeName(code)}}));
                continue;
            }
            // With callers in use every series names its caller; requests of no caller (the heartbeat,
            // refusals of unknown ones) have caller="".
            uint64_t named = 0;
            for (const auto& [caller, table] : callers) {
                named += table[e][c];
                if (table[e][c] == 0)
                    continue;
                requests.metric.push_back(valueMetric(static_cast<double>(table[e][c]),
                                                      {{"endpoint", meteredEndpointName(endpoint)},
                                                       {"errcode", meteredCodeName(code)},
                                                       {"caller", caller}}));
            }
            requests.metric.push_back(
                valueMetric(static_cast<double>(s.requests[e][c] > named ? s.requests[e][c] - named : 0),
                            {{"endpoint", meteredEndpointName(endpoint)},
                             {"errcode", meteredCodeName(code)},
                             {"caller", ""}}));
        }
    }
    out.push_back(std::move(requests));

    MetricFamily duration =
        family("kestrum_request_duration_seconds", "Seconds from a request's last byte in to its answer out.",
               MetricType::Histogram);
    for (size_t e = 0; e < kMeteredEndpoints; ++e) {
        ClientMetric m;
        m.label = {{"endpoint", meteredEndpointName(static_cast<MeteredEndpoint>(e))}};
        uint64_t cumulative = 0;
        for (size_t b = 0; b < s.durationBuckets[e].size(); ++b) {
            cumulative += s.durationBuckets[e][b];
            const double bound =
                b < kDurationBuckets.size() ? kDurationBuckets[b] : std::numeric_limits<double>::infinity();
            m.histogram.bucket.push_back({cumulative, bound});
        }
        m.histogram.sample_count = cumulative;
        m.histogram.sample_sum = s.durationSum[e];
        duration.metric.push_back(std::move(m));
    }
    out.push_back(std::move(duration));

    MetricFamily open = family("kestrum_connections_open", "Client connections open now.", MetricType::Gauge);
    open.metric.push_back(valueMetric(static_cast<double>(openConnections)));
    out.push_back(std::move(open));

    MetricFamily refused = family("kestrum_connections_refused_total",
                                  "Connections from addresses outside the whitelist, closed at accept, and "
                                  "connections closed or turned away by a limit.",
                                  MetricType::Counter);
    for (size_t r = 0; r < kRefusalReasons; ++r) {
        refused.metric.push_back(valueMetric(static_cast<double>(s.refused[r]),
                                             {{"reason", refusalReasonName(static_cast<RefusalReason>(r))}}));
    }
    out.push_back(std::move(refused));
}

void addProcessFamilies(std::vector<MetricFamily>& out) {
    const ProcessFigures p = readProcessFigures();
    const struct {
        const char* name;
        const char* help;
        MetricType type;
        double value;
    } figures[] = {
        {"process_cpu_seconds_total", "Total user and system CPU time spent in seconds.", MetricType::Counter,
         p.cpuSeconds},
        {"process_open_fds", "Number of open file descriptors.", MetricType::Gauge, p.openFds},
        {"process_max_fds", "Maximum number of open file descriptors.", MetricType::Gauge, p.maxFds},
        {"process_resident_memory_bytes", "Resident memory size in bytes.", MetricType::Gauge,
         p.residentBytes},
        {"process_virtual_memory_bytes", "Virtual memory size in bytes.", MetricType::Gauge, p.virtualBytes},
        {"process_start_time_seconds", "Start time of the process since unix epoch in seconds.",
         MetricType::Gauge, p.startTimeSeconds},
    };
    for (const auto& figure : figures) {
        MetricFamily f = family(figure.name, figure.help, figure.type);
        f.metric.push_back(valueMetric(figure.value));
        out.push_back(std::move(f));
    }
}

}  // namespace

MetricsPage::MetricsPage() : registry_(std::make_shared<prometheus::Registry>()) {
    taskRuns_ = &prometheus::BuildCounter()
                     .Name("kestrum_task_runs_total")
                     .Help("Runs of scheduled tasks, by outcome (success, failure, idle: nothing to run).")
                     .Register(*registry_);
    taskDuration_ = &prometheus::BuildHistogram()
                         .Name("kestrum_task_duration_seconds")
                         .Help("Seconds a task run took; a program's run lasts until the program ends.")
                         .Register(*registry_);
    taskLastSuccess_ = &prometheus::BuildGauge()
                            .Name("kestrum_task_last_success_timestamp_seconds")
                            .Help("Unix time at which the latest successful run of a task ended.")
                            .Register(*registry_);
    taskSkipped_ = &prometheus::BuildCounter()
                        .Name("kestrum_task_skipped_total")
                        .Help(
                            "Due moments not run here, by reason (lease: claimed by another instance; "
                            "lease_unavailable: no claim could be made; overlap: the previous run was still "
                            "going; maxdo: the run limit was reached and the task ended).")
                        .Register(*registry_);
    taskLateness_ = &prometheus::BuildHistogram()
                         .Name("kestrum_task_lateness_seconds")
                         .Help("Seconds between a task's due moment and the start of its run.")
                         .Register(*registry_);
    backends_ = &prometheus::BuildGauge()
                     .Name("kestrum_backend_connections")
                     .Help("Back-end connections by state (up: connected, down: not connected).")
                     .Register(*registry_);
}

MetricsPage::~MetricsPage() = default;

void MetricsPage::recordTaskStart(const std::string& task, double latenessSeconds) {
    // The families look the label up under their own lock: fine at the pace of task runs.
    taskLateness_->Add({{"task", task}}, kLatenessBuckets).Observe(latenessSeconds < 0 ? 0 : latenessSeconds);
}

void MetricsPage::recordTaskRun(const std::string& task, const std::string& outcome, double seconds,
                                bool success) {
    taskRuns_->Add({{"task", task}, {"outcome", outcome}}).Increment();
    taskDuration_->Add({{"task", task}}, kTaskDurationBuckets).Observe(seconds < 0 ? 0 : seconds);
    if (success) {
        const double now =
            std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
        taskLastSuccess_->Add({{"task", task}}).Set(now);
    }
}

void MetricsPage::recordTaskSkip(const std::string& task, const std::string& reason) {
    taskSkipped_->Add({{"task", task}, {"reason", reason}}).Increment();
}

void MetricsPage::setBackendProbe(BackendProbe probe) {
    std::lock_guard lock(scrapeMutex_);
    probe_ = std::move(probe);
}

void MetricsPage::setOpenConnectionsProbe(std::function<int64_t()> probe) {
    std::lock_guard lock(scrapeMutex_);
    openConnections_ = std::move(probe);
}

std::string MetricsPage::scrape() {
    std::lock_guard lock(scrapeMutex_);
    if (probe_) {
        for (const BackendConnections& backend : probe_()) {
            prometheus::Labels labels = {{"backend", backend.backend}};
            if (!backend.db.empty())
                labels["db"] = backend.db;
            labels["state"] = "up";
            backends_->Add(labels).Set(backend.up);
            labels["state"] = "down";
            backends_->Add(labels).Set(backend.down);
        }
    }
    std::vector<MetricFamily> families;
    addRequestFamilies(meter_.snapshot(), meter_.callers(), openConnections_ ? openConnections_() : 0,
                       families);
    for (MetricFamily& f : registry_->Collect())
        families.push_back(std::move(f));
    addProcessFamilies(families);
    return prometheus::TextSerializer().Serialize(families);
}

}  // namespace kestrum
