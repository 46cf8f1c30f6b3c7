// rate_shared=1 through two real instances on one Redis: they draw on one budget, counted in lease_db.
#include <gtest/gtest.h>

#include "http/credentials.h"
#include "redis_test_support.h"
#include "support/http_client.h"
#include "support/kestrum_process.h"

namespace kestrum {
namespace {

using namespace std::chrono_literals;

const std::string kKey = "key-of-cache-EEEEEEEEEEEEEEEEEEEEEEEEEEEEEEEEEEEE";

struct Instance {
    testing::RunDir dir;
    testing::KestrumProcess process;
    int port = 0;
};

void startInstance(Instance& instance, int redisPort) {
    instance.dir.installCertificates();
    instance.port = testing::freePort();
    instance.dir.write("config.ini",
                       "[sys]\nlocal_ip=127.0.0.1\nip_lookup_url=\nwhitelist=127.0.0.1\nport_http=" +
                           std::to_string(instance.port) + "\n");
    instance.dir.write("mod/mysql/config.ini", "[sys]\non=0\n");
    instance.dir.write("mod/crontab/config.ini", "[sys]\non=1\nlease_db=3\n");
    instance.dir.write("mod/redis/config.ini",
                       "[sys]\nport=" + std::to_string(redisPort) + "\n[dbsum]\n0=1\n3=1\n");
    // Three requests a minute, all of them at once if need be, for every instance together.
    instance.dir.write("callers.ini", "[cache]\nkey_sha256=" + sha256Hex(sha256(kKey)) +
                                          "\nallow=redis.get\nrate=0.05\nburst=3\nrate_shared=1\n");
    ASSERT_TRUE(instance.process.start(instance.dir.path()));
    ASSERT_TRUE(instance.process.waitForOutput("http: http://127.0.0.1:" + std::to_string(instance.port)))
        << instance.process.output();
}

int get(const Instance& instance) {
    testing::HttpClient client;
    if (!client.connect("127.0.0.1", instance.port))
        return 0;
    auto reply = client.request("POST", "/api/redis/get", R"({"key":"k"})",
                                {{"Authorization", "Bearer " + kKey}}, 5000ms);
    if (!reply)
        return 0;
    if (reply->status == 429) {
        EXPECT_GE(std::atoi(reply->header("Retry-After").c_str()), 1);
    }
    return reply->status;
}

TEST(SharedRateThroughBinary, TwoInstancesShareOneBudget) {
    const int redisPort = testing::sharedRedis().port();
    testing::RedisProbe(redisPort, 3).run({"FLUSHDB"});
    Instance first;
    Instance second;
    startInstance(first, redisPort);
    startInstance(second, redisPort);
    // A window of 20 s admits three: two here, one there, then neither has room. (A window may end
    // between the requests on a slow machine: then the budget starts again, and the count is retried.)
    for (int attempt = 0; attempt < 3; ++attempt) {
        testing::RedisProbe(redisPort, 3).run({"FLUSHDB"});
        const int a = get(first);
        const int b = get(first);
        const int c = get(second);
        const int d = get(second);
        const int e = get(first);
        if (d == 200 || e == 200)
            continue;  // a new window began meanwhile
        EXPECT_EQ(a, 200);
        EXPECT_EQ(b, 200);
        EXPECT_EQ(c, 200);
        EXPECT_EQ(d, 429);
        EXPECT_EQ(e, 429);
        return;
    }
    ADD_FAILURE() << "the instances never shared one window";
}

}  // namespace
}  // namespace kestrum
