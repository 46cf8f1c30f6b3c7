// `kestrum --check` on a clean run directory and on run directories with one fault each: the exit status, the
// one line that names the fault, and that nothing is started or written.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <functional>

#include "app/startup_report.h"
#include "support/kestrum_process.h"

namespace kestrum {
namespace {

namespace fs = std::filesystem;
using testing::CommandResult;
using testing::RunDir;
using testing::runKestrum;

// Every module on, one task of each kind, and every extension key the program knows.
void writeCleanRunDir(const RunDir& dir) {
    dir.installCertificates();
    dir.write(
        "config.ini",
        "[sys]\nonDebug=0\napi_heart_url=/api/this/heart\nport_http=8080\nport_https=8443\n"
        "whitelist=127.0.0.1,localhost，10.0.0.0/8\nlocal_ip=127.0.0.1\nip_lookup_url=\nworker_threads=\n"
        "network_threads=2\nmax_body=16777216\nidle_timeout=60\nheader_timeout=10\nbody_timeout=60\n"
        "max_connections=1000\n"
        "metrics_path=/metrics\nlog_charset=utf-8\ninstance_name=first\nlog_max_mb=64\nlog_keep=10\n");
    dir.write("mod/mysql/config.ini",
              "[sys]\non=1\nconnectSum=5\nadress=127.0.0.1\nport=3306\nuser=u\npassword=p\ndatabase=d\n"
              "api_url=/api/mysql\nconnect_timeout=10\nmax_answer=67108864\nstatement_timeout=0\n"
              "[account.reports]\nconnectSum=2\nadress=127.0.0.1\nport=3306\nuser=r\npassword=p\ndatabase=d\n"
              "connect_timeout=10\nmax_answer=1048576\nstatement_timeout=30\n");
    dir.write("mod/redis/config.ini",
              "[sys]\non=1\nip=127.0.0.1\nport=6379\npassword=\nisUnicode=1\napi_url=/api/redis\n"
              "[order]\ndeny=FLUSHALL\n[dbsum]\n0=4\n2=2\n");
    dir.write(
        "mod/crontab/config.ini",
        "[sys]\non=1\napi_url=/api/crontab\nlease_db=0\nlease_prefix=kestrum:lease:\nlease_fallback=run\n");
    dir.write("mod/crontab/tasks/heart.ini",
              "[sys]\ntime=30 * * * * *\nmaxdo=1\ntimes_maxdo=5\n[info]\non=1\ntype=http\nmethod=GET\n"
              "url=http://127.0.0.1:8080/api/this/heart\n");
    dir.write("mod/crontab/tasks/backup.ini",
              "[sys]\ntime=0 0 3 * * *\n[info]\ntype=run\npath=/bin/true\noverlap=skip\n");
    dir.write("mod/crontab/tasks/purge.ini",
              "[sys]\ntime=0 0 4 * * 7\n[info]\ntype=sql\nsql=delete from t\n");
    dir.write("callers.ini",
              "[app]\nkey_sha256=" + std::string(64, 'a') +
                  "\ncert_sha256=\nfrom=127.0.0.0/8 localhost\nallow=mysql redis.get\nredis_commands=GET\n"
                  "redis_keys=app:*\nrate=5\nburst=10\nrate_shared=0\nmax_in_flight=4\n");
}

CommandResult check(const RunDir& dir) {
    return runKestrum({"--check", "--dir", dir.path()}, dir.path());
}

TEST(ConfigCheckTest, CleanRunDirectoryPassesAndNothingIsWritten) {
    RunDir dir;
    writeCleanRunDir(dir);
    CommandResult result = check(dir);
    EXPECT_EQ(result.status, 0) << result.out;
    EXPECT_EQ(result.out, "kestrum: configuration in " + dir.path() + " is fine\n");
    EXPECT_EQ(result.err, "");
    EXPECT_FALSE(fs::exists(fs::path(dir.path()) / "log"));
}

// The commented samples that the demo and the package hand out use only keys the program knows.
TEST(ConfigCheckTest, ShippedSamplesPass) {
    for (const char* sample : {"/scripts/rundir", "/packaging/sample"}) {
        SCOPED_TRACE(sample);
        RunDir dir;
        dir.installCertificates();
        fs::copy(std::string(KESTRUM_SOURCE_DIR) + sample, dir.path(), fs::copy_options::recursive);
        CommandResult result = check(dir);
        EXPECT_EQ(result.status, 0) << result.out;
    }
}

void replace(const RunDir& dir, const std::string& file, const std::string& from, const std::string& to) {
    std::string text = dir.read(file);
    size_t at = text.find(from);
    ASSERT_NE(at, std::string::npos) << file << " has no " << from;
    dir.write(file, text.replace(at, from.size(), to));
}

struct Fault {
    const char* name;
    std::function<void(const RunDir&)> apply;
    std::string line;  // the one problem line expected (UTF-8)
};

TEST(ConfigCheckTest, EachFaultIsReportedOnItsOwnLine) {
    const std::string sni = "; kestrum ends at start without it, even when port_https is empty";
    const std::vector<Fault> faults = {
        {"unknown key",
         [](const RunDir& d) { replace(d, "config.ini", "port_http=", "prot_http=8080\nport_http="); },
         "config.ini: [sys] prot_http=8080: unknown key (ignored)"},
        {"unknown section",
         [](const RunDir& d) { replace(d, "config.ini", "[sys]", "[system]\nx=1\n[sys]"); },
         "config.ini: [system]: unknown section (ignored)"},
        {"key outside a section",
         [](const RunDir& d) { replace(d, "config.ini", "[sys]", "port_http=9\n[sys]"); },
         "config.ini: lines before the first [section] header are ignored"},
        {"non-numeric number",
         [](const RunDir& d) { replace(d, "config.ini", "network_threads=2", "network_threads=two"); },
         "config.ini: [sys] network_threads=two: is not a number"},
        {"request deadline not a number",
         [](const RunDir& d) { replace(d, "config.ini", "body_timeout=60", "body_timeout=1m"); },
         "config.ini: [sys] body_timeout=1m: is not a number"},
        {"port out of range",
         [](const RunDir& d) { replace(d, "config.ini", "port_https=8443", "port_https=65536"); },
         "config.ini: [sys] port_https=65536: " + std::string(kPortRule)},
        {"same port twice",
         [](const RunDir& d) { replace(d, "config.ini", "port_https=8443", "port_https=8080"); },
         "config.ini: [sys] port_https=8080: the same port as port_http: the HTTPS listener cannot start"},
        {"debug word", [](const RunDir& d) { replace(d, "config.ini", "onDebug=0", "onDebug=true"); },
         "config.ini: [sys] onDebug=true: only 1 turns the debug lines on; this value leaves them off"},
        {"log charset",
         [](const RunDir& d) { replace(d, "config.ini", "log_charset=utf-8", "log_charset=latin1"); },
         "config.ini: [sys] log_charset=latin1: only utf-8 is known; this value keeps the log in GB18030"},
        {"whitelist entry that is no address",
         [](const RunDir& d) { replace(d, "config.ini", "127.0.0.1,", "127.0.0.1,example.com "); },
         "config.ini: [sys] whitelist=example.com: is neither an IPv4 address, a CIDR range (like "
         "10.0.0.0/8) "
         "nor localhost: it admits nobody"},
        {"whitelist range with host bits",
         [](const RunDir& d) { replace(d, "config.ini", "10.0.0.0/8", "10.0.0.1/8"); },
         "config.ini: [sys] whitelist=10.0.0.1/8: has bits set after the prefix length: the range would be "
         "10.0.0.0/8: it admits nobody"},
        {"trusted proxy that is no address",
         [](const RunDir& d) {
             replace(d, "config.ini", "local_ip=127.0.0.1", "local_ip=127.0.0.1\ntrusted_proxies=nginx");
         },
         "config.ini: [sys] trusted_proxies=nginx: is neither an IPv4 address, a CIDR range (like "
         "10.0.0.0/8) nor "
         "localhost: it admits nobody"},
        {"callers.ini problem", [](const RunDir& d) { replace(d, "callers.ini", "redis.get", "redis"); },
         "callers.ini: [app] allow=redis: unknown right: mysql, redis.get, redis.set, redis.order, websocket "
         "or "
         "metrics"},
        {"callers.ini account without its section",
         [](const RunDir& d) { replace(d, "callers.ini", "[app]\n", "[app]\nmysql_account=reporting\n"); },
         "callers.ini: [app] mysql_account=reporting: mod/mysql/config.ini has no [account.reporting] "
         "section"},
        {"key of the main pool in an account section",
         [](const RunDir& d) {
             replace(d, "mod/mysql/config.ini", "[account.reports]\n", "[account.reports]\napi_url=/x\n");
         },
         "mod/mysql/config.ini: [account.reports] api_url=/x: unknown key (ignored)"},
        {"shared rate without lease database",
         [](const RunDir& d) {
             replace(d, "callers.ini", "rate_shared=0", "rate_shared=1");
             replace(d, "mod/crontab/config.ini", "lease_db=0", "lease_db=");
         },
         "callers.ini: [app] rate_shared=1: the shared count lives in the Redis database lease_db of "
         "mod/crontab/config.ini, which is empty"},
        {"overlap word",
         [](const RunDir& d) { replace(d, "mod/crontab/tasks/backup.ini", "overlap=skip", "overlap=never"); },
         "mod/crontab/tasks/backup.ini: [info] overlap=never: is neither allow nor skip: runs may overlap "
         "(allow)"},
        {"log size", [](const RunDir& d) { replace(d, "config.ini", "log_max_mb=64", "log_max_mb=64M"); },
         "config.ini: [sys] log_max_mb=64M: is not a number"},
        {"empty whitelist",
         [](const RunDir& d) {
             replace(d, "config.ini", "whitelist=127.0.0.1,localhost，10.0.0.0/8", "whitelist=");
         },
         "config.ini: [sys] whitelist=: empty: no client is served"},
        {"module file missing",
         [](const RunDir& d) { fs::remove(fs::path(d.path()) / "mod/crontab/config.ini"); },
         "mod/crontab/config.ini: file missing: the module starts with its defaults"},
        {"mysql port", [](const RunDir& d) { replace(d, "mod/mysql/config.ini", "port=3306", "port=08080"); },
         "mod/mysql/config.ini: [sys] port=08080: " + std::string(kPortRule)},
        {"mysql max_answer",
         [](const RunDir& d) { replace(d, "mod/mysql/config.ini", "max_answer=67108864", "max_answer=64M"); },
         "mod/mysql/config.ini: [sys] max_answer=64M: is not a number"},
        {"mysql statement_cache",
         [](const RunDir& d) {
             replace(d, "mod/mysql/config.ini", "max_answer=67108864",
                     "max_answer=67108864\nstatement_cache=all");
         },
         "mod/mysql/config.ini: [sys] statement_cache=all: is not a number"},
        {"mysql statement_timeout",
         [](const RunDir& d) {
             replace(d, "mod/mysql/config.ini", "statement_timeout=0", "statement_timeout=30s");
         },
         "mod/mysql/config.ini: [sys] statement_timeout=30s: is not a number"},
        {"dbsum names no database",
         [](const RunDir& d) { replace(d, "mod/redis/config.ini", "0=4\n2=2\n", ""); },
         "mod/redis/config.ini: [dbsum]: names no database: every Redis request fails"},
        {"dbsum count", [](const RunDir& d) { replace(d, "mod/redis/config.ini", "2=2", "2=two"); },
         "mod/redis/config.ini: [dbsum] 2=two: the connection count is not a number"},
        {"redis answer limit",
         [](const RunDir& d) {
             replace(d, "mod/redis/config.ini", "api_url=/api/redis", "api_url=/api/redis\nmax_answer=lots");
         },
         "mod/redis/config.ini: [sys] max_answer=lots: is not a number"},
        {"deny entry",
         [](const RunDir& d) {
             replace(d, "mod/redis/config.ini", "deny=FLUSHALL", "deny=FLUSHALL CLIENT|");
         },
         "mod/redis/config.ini: [order] deny=FLUSHALL CLIENT|: \"CLIENT|\" is neither a command name nor "
         "name|subcommand (ignored)"},
        {"lease database",
         [](const RunDir& d) { replace(d, "mod/crontab/config.ini", "lease_db=0", "lease_db=zero"); },
         "mod/crontab/config.ini: [sys] lease_db=zero: is not a database number: tasks run without a lease"},
        {"task type",
         [](const RunDir& d) { replace(d, "mod/crontab/tasks/backup.ini", "type=run", "type=ftp"); },
         "mod/crontab/tasks/backup.ini: [info] type=ftp: unknown task type (http, run or sql): the task does "
         "nothing"},
        {"task never fires",
         [](const RunDir& d) { replace(d, "mod/crontab/tasks/backup.ini", "0 0 3 * * *", "0 0 3 31 2 *"); },
         "mod/crontab/tasks/backup.ini: [sys] time=0 0 3 31 2 *: never fires (no moment within four years): "
         "the task "
         "is not registered"},
        {"task second out of range",
         [](const RunDir& d) { replace(d, "mod/crontab/tasks/backup.ini", "0 0 3 * * *", "61 0 3 * * *"); },
         "mod/crontab/tasks/backup.ini: [sys] time=61 0 3 * * *: second 61 is outside 0-59: that value never "
         "matches"},
        {"task month range beyond its end",
         [](const RunDir& d) {
             replace(d, "mod/crontab/tasks/backup.ini", "0 0 3 * * *", "0 0 3 1 11-13 *");
         },
         "mod/crontab/tasks/backup.ini: [sys] time=0 0 3 1 11-13 *: month 13 is outside 1-12: that value "
         "never "
         "matches"},
        {"readiness path",
         [](const RunDir& d) { replace(d, "config.ini", "[sys]", "[sys]\nready_path=ready"); },
         "config.ini: [sys] ready_path=ready: does not start with \"/\": no request reaches the readiness "
         "check"},
        {"drain not a number",
         [](const RunDir& d) { replace(d, "config.ini", "[sys]", "[sys]\ndrain_seconds=5s"); },
         "config.ini: [sys] drain_seconds=5s: is not a number"},
        {"task short time",
         [](const RunDir& d) { replace(d, "mod/crontab/tasks/backup.ini", "0 0 3 * * *", "0 0 3"); },
         "mod/crontab/tasks/backup.ini: [sys] time=0 0 3: has fewer than six fields: the task is not "
         "registered"},
        {"task method",
         [](const RunDir& d) { replace(d, "mod/crontab/tasks/heart.ini", "method=GET", "method=PUT"); },
         "mod/crontab/tasks/heart.ini: [info] method=PUT: is neither post nor get: the task does nothing"},
        {"sql task without MySQL",
         [](const RunDir& d) { replace(d, "mod/mysql/config.ini", "on=1", "on=0"); },
         "mod/crontab/tasks/purge.ini: [info] type=sql: the MySQL module is off: the task runs nothing"},
        {"TLS file missing", [](const RunDir& d) { fs::remove(fs::path(d.path()) / "ssl-cert/ca2.crt"); },
         "ssl-cert/ca2.crt: missing" + sni},
        {"TLS key password",
         [](const RunDir& d) {
             std::string key = d.path() + "/ssl-cert/server2.key";
             std::string command = "openssl pkey -in '" + key +
                                   "' -passin pass:xqzv -aes256 -passout pass:nope -out '" + key +
                                   ".new' && mv '" + key + ".new' '" + key + "'";
             ASSERT_EQ(std::system(command.c_str()), 0);
         },
         "ssl-cert/server2.key: wrong password (the key must be encrypted with \"xqzv\")" + sni},
        {"TLS default key not a key", [](const RunDir& d) { d.write("ssl-cert/server.key", "hello\n"); },
         "ssl-cert/server.key: not a PEM private key; HTTPS clients that name no host fail their handshake"},
    };
    for (const Fault& fault : faults) {
        SCOPED_TRACE(fault.name);
        RunDir dir;
        writeCleanRunDir(dir);
        fault.apply(dir);
        CommandResult result = check(dir);
        EXPECT_EQ(result.status, 1);
        // The working directory is the run directory, so TLS paths are relative to it as well.
        EXPECT_EQ(result.out, fault.line + "\nkestrum: 1 problem in " + dir.path() + "\n");
        EXPECT_FALSE(fs::exists(fs::path(dir.path()) / "log"));
    }
}

TEST(ConfigCheckTest, ModuleThatIsOffIsNotReadFurther) {
    RunDir dir;
    writeCleanRunDir(dir);
    dir.write("mod/redis/config.ini", "[sys]\non=0\nport=abc\n[dbsum]\n");
    CommandResult result = check(dir);
    EXPECT_EQ(result.status, 0) << result.out;
}

TEST(ConfigCheckTest, SeveralProblemsAndAMissingRunDirectory) {
    RunDir bare;  // no file at all
    CommandResult result = runKestrum({"--check", "--dir", bare.path()}, "/");
    EXPECT_EQ(result.status, 1);
    const std::string module = ": file missing: the module starts with its defaults\n";
    const std::string tls = ": missing; kestrum ends at start without it, even when port_https is empty\n";
    const std::string folder = bare.path() + "/ssl-cert/";
    EXPECT_EQ(result.out,
              "config.ini: file missing: every setting takes its default, both listeners stay off\n"
              "mod/mysql/config.ini" +
                  module + "mod/redis/config.ini" + module +
                  "mod/redis/config.ini: [dbsum]: names no database: every Redis request fails\n"
                  "mod/crontab/config.ini" +
                  module + folder + "server2.cer" + tls + folder + "server2.key" + tls + folder + "ca2.crt" +
                  tls + "kestrum: 8 problems in " + bare.path() + "\n");

    result = runKestrum({"--check", "--dir", bare.path() + "/nowhere"}, "/");
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out.rfind("the run directory " + bare.path() + "/nowhere does not exist\n", 0), 0u)
        << result.out;
    EXPECT_FALSE(fs::exists(bare.path() + "/nowhere"));
}

}  // namespace
}  // namespace kestrum
