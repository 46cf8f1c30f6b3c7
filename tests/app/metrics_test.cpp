// The metrics page: what it counts, the text format, and that it stays out of the log. The page is built by
// MetricsPage (unit tests below) and served by the real binary (binary tests).
#include "app/metrics.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "support/http_client.h"
#include "support/kestrum_process.h"

namespace kestrum {
namespace {

using namespace std::chrono_literals;
using testing::gb;
using testing::KestrumProcess;
using testing::RunDir;

bool has(const std::string& page, const std::string& line) {
    return page.find("\n" + line + "\n") != std::string::npos;
}

TEST(MetricsPage, BackendsTasksAndRequestsInTheTextFormat) {
    MetricsPage metrics;
    metrics.setBackendProbe([] {
        return std::vector<BackendConnections>{{"mysql", "", 3, 2}, {"redis", "1", 4, 0}};
    });
    metrics.setOpenConnectionsProbe([] { return int64_t{7}; });
    metrics.recordTaskStart("心跳", 0.003);
    metrics.recordTaskStart("心跳", 0.2);
    metrics.recordTaskRun("心跳", "success", 0.02, true);
    metrics.recordTaskRun("心跳", "failure", 7, false);
    metrics.recordTaskRun("备份", "failure", 0.5, false);
    metrics.recordTaskSkip("备份", "overlap");
    metrics.recordTaskSkip("备份", "overlap");
    metrics.recordTaskSkip("心跳", "maxdo");
    metrics.meter().recordRequest(MeteredEndpoint::Mysql, MeteredCode::Sql401, 0.002);
    metrics.meter().recordRequest(MeteredEndpoint::Redis, meteredCodeOf(12345), 0.002);
    metrics.meter().refused(RefusalReason::Limits);
    const std::string page = metrics.scrape();
    for (const char* line : {
             R"(kestrum_backend_connections{backend="mysql",state="up"} 3)",
             R"(kestrum_backend_connections{backend="mysql",state="down"} 2)",
             R"(kestrum_backend_connections{backend="redis",db="1",state="up"} 4)",
             R"(kestrum_backend_connections{backend="redis",db="1",state="down"} 0)",
             R"(kestrum_task_runs_total{outcome="success",task="心跳"} 1)",
             R"(kestrum_task_runs_total{outcome="failure",task="心跳"} 1)",
             R"(kestrum_task_runs_total{outcome="failure",task="备份"} 1)",
             R"(kestrum_task_duration_seconds_bucket{task="心跳",le="0.05"} 1)",
             R"(kestrum_task_duration_seconds_bucket{task="心跳",le="10"} 2)",
             R"(kestrum_task_duration_seconds_count{task="心跳"} 2)",
             R"(kestrum_task_skipped_total{reason="overlap",task="备份"} 2)",
             R"(kestrum_task_skipped_total{reason="maxdo",task="心跳"} 1)",
             R"(kestrum_task_lateness_seconds_bucket{task="心跳",le="0.005"} 1)",
             R"(kestrum_task_lateness_seconds_count{task="心跳"} 2)",
             R"(kestrum_requests_total{endpoint="mysql",errcode="401"} 1)",
             R"(kestrum_requests_total{endpoint="mysql",errcode="200"} 0)",
             R"(kestrum_requests_total{endpoint="redis",errcode="other"} 1)",
             R"(kestrum_request_duration_seconds_bucket{endpoint="mysql",le="0.001"} 0)",
             R"(kestrum_request_duration_seconds_bucket{endpoint="mysql",le="0.0025"} 1)",
             R"(kestrum_request_duration_seconds_bucket{endpoint="mysql",le="+Inf"} 1)",
             R"(kestrum_connections_open 7)",
             R"(kestrum_connections_refused_total{reason="limits"} 1)",
             R"(kestrum_connections_refused_total{reason="whitelist"} 0)",
             "# TYPE kestrum_request_duration_seconds histogram",
             "# TYPE process_cpu_seconds_total counter",
         }) {
        EXPECT_TRUE(has(page, line)) << line << "\n" << page;
    }
    // Every sample line is "name{labels} value" or "name value".
    size_t start = 0;
    for (size_t end = page.find('\n'); end != std::string::npos; end = page.find('\n', start)) {
        std::string line = page.substr(start, end - start);
        start = end + 1;
        if (line.empty() || line[0] == '#')
            continue;
        size_t blank = line.rfind(' ');
        ASSERT_NE(blank, std::string::npos) << line;
        EXPECT_NO_THROW((void)std::stod(line.substr(blank + 1))) << line;
    }
}

// A heartbeat sent from 127.0.0.2, which the whitelist does not list.
// A caller outside the whitelist: closed as it is accepted (often before its request is out), and counted.
void heartbeatFrom127002(int port) {
    testing::HttpClient client;
    client.setSourceAddress("127.0.0.2");
    if (client.connect("127.0.0.1", port))
        client.sendRequest("GET", "/api/this/heart", {}, {}, false);
}

class MetricsBinaryTest : public ::testing::Test {
  protected:
    void start(const std::string& extra) {
        dir.installCertificates();
        for (const char* module : {"mysql", "redis"})
            dir.write(std::string("mod/") + module + "/config.ini", "[sys]\non=0\n");
        dir.write("mod/crontab/config.ini", "[sys]\non=1\n");
        dir.write("mod/crontab/tasks/心跳.ini", "[sys]\ntime=* * * * * *\n[info]\non=1\ntype=none\n");
        port = testing::freePort();
        dir.write("config.ini", "[sys]\nlocal_ip=127.0.0.1\nwhitelist=127.0.0.1\nmax_body=1024\nport_http=" +
                                    std::to_string(port) + "\n" + extra);
        ASSERT_TRUE(kestrum.start(dir.path()));
        ASSERT_TRUE(kestrum.waitForOutput("http: http://127.0.0.1:"));
    }
    std::optional<testing::HttpReply> scrape() { return testing::get("127.0.0.1", port, "/metrics"); }

    RunDir dir;
    KestrumProcess kestrum;
    int port = 0;
};

TEST_F(MetricsBinaryTest, CountsRequestsRefusalsAndTaskRunsWithoutLogLines) {
    start("metrics_path=/metrics\n");
    for (int i = 0; i < 3; ++i)
        ASSERT_TRUE(testing::get("127.0.0.1", port, "/api/this/heart"));
    EXPECT_FALSE(testing::post("127.0.0.1", port, "/api/nothing", "{}", 300ms));  // no route: no answer
    heartbeatFrom127002(port);
    {
        testing::HttpClient client;  // a body above max_body closes the connection
        ASSERT_TRUE(client.connect("127.0.0.1", port));
        client.sendRequest("POST", "/api/nothing", std::string(4096, 'x'));
        EXPECT_TRUE(client.waitClosed());
    }
    const std::string logBefore = dir.logText();
    std::this_thread::sleep_for(1500ms);  // the every-second task runs at least once

    std::optional<testing::HttpReply> reply = scrape();
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->status, 200);
    EXPECT_EQ(reply->header("Content-Type"), "text/plain; version=0.0.4");
    const std::string& page = reply->body;
    for (const char* line : {
             R"(kestrum_requests_total{endpoint="heartbeat",errcode="200"} 3)",
             R"(kestrum_requests_total{endpoint="none",errcode="none"} 1)",
             R"(kestrum_request_duration_seconds_count{endpoint="heartbeat"} 3)",
             R"(kestrum_connections_refused_total{reason="whitelist"} 1)",
             R"(kestrum_connections_refused_total{reason="limits"} 1)",
             R"(kestrum_connections_open 1)",
         }) {
        EXPECT_TRUE(has(page, line)) << line << "\n" << page;
    }
    // The task file does nothing (unknown type): its runs are idle, never a success.
    EXPECT_NE(page.find("\nkestrum_task_runs_total{outcome=\"idle\",task=\"心跳\"} "), std::string::npos)
        << page;
    EXPECT_EQ(page.find("kestrum_task_last_success_timestamp_seconds{"), std::string::npos) << page;
    EXPECT_NE(page.find("\nprocess_resident_memory_bytes "), std::string::npos);
    const size_t at = page.find("\nprocess_start_time_seconds ");
    ASSERT_NE(at, std::string::npos);
    const double started = std::stod(page.substr(at + 28));
    const double now =
        std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
    EXPECT_NEAR(started, now, 60);

    // The scrape wrote nothing: the log grew only by the task's lines.
    const std::string logAfter = dir.logText();
    ASSERT_EQ(logAfter.compare(0, logBefore.size(), logBefore), 0);
    EXPECT_EQ(logAfter.find("metrics", logBefore.size()), std::string::npos) << logAfter;
    EXPECT_EQ(kestrum.stop(), 0);
}

TEST_F(MetricsBinaryTest, DebugWritesOnlyTheRequestLine) {
    start("metrics_path=/metrics\nonDebug=1\n");
    ASSERT_TRUE(scrape());
    ASSERT_TRUE(kestrum.waitForLog(dir, "adress(/metrics)"));
    const std::string log = dir.logText();
    const size_t lineEnd = log.find("\r\n", log.find("adress(/metrics)"));
    ASSERT_NE(lineEnd, std::string::npos);
    EXPECT_EQ(log.find("metrics", lineEnd), std::string::npos) << log;
    EXPECT_EQ(kestrum.stop(), 0);
}

TEST_F(MetricsBinaryTest, OffByDefaultThePathGetsNoAnswer) {
    start("");
    EXPECT_FALSE(testing::get("127.0.0.1", port, "/metrics", 500ms));
    EXPECT_EQ(kestrum.stop(), 0);
}

}  // namespace
}  // namespace kestrum
