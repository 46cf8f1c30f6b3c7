// callers.ini and what identifies a caller: a full file read back, the table of problems that refuse a file
// (each named by section and key, never showing a key), lookups by rotated keys and by certificate, rights,
// Redis commands and key patterns; and the credential helpers (hashes, fingerprints, fresh keys, Bearer).
#include "http/callers.h"

#include <gtest/gtest.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <cstdio>
#include <set>

#include "support/kestrum_process.h"
#include "util/ini.h"

namespace kestrum {
namespace {

using testing::gb;

// Two keys of the caller "reports" (old and new, during a rotation) and one of "cache".
const std::string kOldKey = "old-key-of-reports";
const std::string kNewKey = "new-key-of-reports";
const std::string kCacheKey = "cache-key";
const std::string kCertHash(64, 'c');

std::string hashOf(const std::string& key) {
    return sha256Hex(sha256(key));
}

CallerRules::LoadResult parse(const std::string& text, std::string_view localAddress = "192.168.1.9") {
    return CallerRules::parse(IniFile::parse(text), localAddress);
}

std::string fullFile() {
    return "; callers of the reporting site\n"
           "[reports]\n"
           "key_sha256=" +
           hashOf(kOldKey) + ", " + hashOf(kNewKey) +
           "\n"
           "from=10.1.0.0/16 10.2.0.7，localhost\n"
           "allow=mysql, Redis.Get\n"
           "mysql_account=reporting\n"
           "max_in_flight=4\n"
           "[cache]\n"
           "KEY_SHA256=" +
           hashOf(kCacheKey) +
           "\n"
           "cert_sha256=" +
           kCertHash +
           "\n"
           "allow=redis.get,redis.set,redis.order\n"
           "redis_commands=get SET client|info\n"
           "redis_keys=cache:* 缓存:*\n"
           "rate=2.5\n"
           "rate_shared=1\n"
           "[idle]\n"
           "key_sha256=\n"
           "from=\n"
           "redis_keys=\n";
}

TEST(CallerRulesTest, FullFileReadsBack) {
    for (const bool gbk : {false, true}) {
        SCOPED_TRACE(gbk ? "GBK file" : "UTF-8 file");
        CallerRules::LoadResult result = parse(gbk ? gb(fullFile()) : fullFile());
        ASSERT_EQ(result.status, CallerRules::LoadStatus::kLoaded) << result.firstProblemLine("callers.ini");
        const CallerRules& rules = *result.rules;
        ASSERT_EQ(rules.callers().size(), 3u);
        EXPECT_TRUE(rules.anyCertificate());

        const Caller& reports = rules.callers()[0];
        EXPECT_EQ(reports.name, "reports");
        EXPECT_EQ(reports.keyHashes.size(), 2u);
        EXPECT_FALSE(reports.fromAnywhere);
        for (const char* in : {"10.1.0.1", "10.1.255.255", "10.2.0.7", "192.168.1.9"})
            EXPECT_TRUE(reports.comesFrom(*parseIpv4(in))) << in;
        for (const char* out : {"10.2.0.8", "10.0.255.255", "127.0.0.1"})
            EXPECT_FALSE(reports.comesFrom(*parseIpv4(out))) << out;
        EXPECT_TRUE(reports.allows(CallerRight::kMysql));
        EXPECT_TRUE(reports.allows(CallerRight::kRedisGet));
        EXPECT_FALSE(reports.allows(CallerRight::kRedisSet));
        EXPECT_FALSE(reports.allows(CallerRight::kMetrics));
        EXPECT_EQ(reports.mysqlAccount, "reporting");
        EXPECT_EQ(reports.maxInFlight, 4);
        EXPECT_EQ(reports.rate, 0);
        EXPECT_FALSE(reports.allowsRedisCommand("GET"));  // no redis_commands: none
        EXPECT_TRUE(reports.redisKeysUnrestricted());

        const Caller& cache = rules.callers()[1];
        EXPECT_TRUE(cache.fromAnywhere);
        EXPECT_TRUE(cache.comesFrom(*parseIpv4("8.8.8.8")));
        EXPECT_EQ(cache.mysqlAccount, "");
        EXPECT_DOUBLE_EQ(cache.rate, 2.5);
        EXPECT_EQ(cache.burst, 3);  // default: the rate rounded up
        EXPECT_TRUE(cache.rateShared);
        EXPECT_EQ(cache.maxInFlight, 0);
        EXPECT_FALSE(cache.redisKeysUnrestricted());
        EXPECT_TRUE(cache.allowsRedisKey("cache:user:1"));
        EXPECT_TRUE(cache.allowsRedisKey(gb("缓存:1")));
        EXPECT_FALSE(cache.allowsRedisKey("other:1"));

        // Written empty: no keys, from nowhere, no key matches; nothing refused.
        const Caller& idle = rules.callers()[2];
        EXPECT_TRUE(idle.keyHashes.empty());
        EXPECT_FALSE(idle.comesFrom(*parseIpv4("10.1.0.1")));
        EXPECT_FALSE(idle.allowsRedisKey(""));
        EXPECT_FALSE(idle.redisKeysUnrestricted());
    }
}

TEST(CallerRulesTest, LookupsByKeyCertificateAndName) {
    CallerRules::LoadResult result = parse(fullFile());
    ASSERT_TRUE(result.rules);
    const CallerRules& rules = *result.rules;
    struct Case {
        std::string key;
        const char* caller;  // nullptr: nobody
    } cases[] = {
        {kOldKey, "reports"},
        {kNewKey, "reports"},
        {kCacheKey, "cache"},
        {"", nullptr},
        {"unknown", nullptr},
        {kOldKey + "x", nullptr},
        {hashOf(kOldKey), nullptr},  // the hash is no key
        {"OLD-KEY-OF-REPORTS", nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.key);
        const Caller* caller = rules.findByKey(c.key);
        if (c.caller == nullptr) {
            EXPECT_EQ(caller, nullptr);
        } else {
            ASSERT_NE(caller, nullptr);
            EXPECT_EQ(caller->name, c.caller);
        }
    }
    const Caller* byCertificate = rules.findByCertificate(*parseSha256Hex(kCertHash));
    ASSERT_NE(byCertificate, nullptr);
    EXPECT_EQ(byCertificate->name, "cache");
    EXPECT_EQ(rules.findByCertificate(sha256("another certificate")), nullptr);
    EXPECT_EQ(rules.findByCertificate(*parseSha256Hex(hashOf(kCacheKey))), nullptr);  // a key hash is no cert
    EXPECT_EQ(rules.findByName("cache"), &rules.callers()[1]);
    EXPECT_EQ(rules.findByName("nobody"), nullptr);
}

TEST(CallerRulesTest, RedisCommandsAndKeys) {
    CallerRules::LoadResult result = parse(
        "[c]\nredis_commands=GET, set, CLIENT|INFO, config|get\nredis_keys=app1:* ses[0-9]? a\\*b\n"
        "[any]\nredis_commands=*\nredis_keys=*\n");
    ASSERT_TRUE(result.rules) << result.firstProblemLine("callers.ini");
    const Caller& c = result.rules->callers()[0];
    struct Command {
        const char* name;
        const char* argument;
        bool allowed;
    } commands[] = {
        {"GET", "", true},        {"get", "k", true},       {"SET", "k", true},        {"MSET", "k", false},
        {"CLIENT", "INFO", true}, {"client", "info", true}, {"CLIENT", "KILL", false}, {"CLIENT", "", false},
        {"CONFIG", "GET", true},  {"CONFIG", "SET", false}, {"FLUSHALL", "", false},   {"INFO", "", false},
    };
    for (const Command& command : commands) {
        SCOPED_TRACE(std::string(command.name) + " " + command.argument);
        EXPECT_EQ(c.allowsRedisCommand(command.name, command.argument), command.allowed);
        EXPECT_TRUE(result.rules->callers()[1].allowsRedisCommand(command.name, command.argument));
    }
    struct Key {
        const char* key;
        bool allowed;
    } keys[] = {
        {"app1:x", true}, {"app1:", true}, {"app2:x", false}, {"ses1x", true},
        {"sesx1", false}, {"a*b", true},   {"axb", false},    {"", false},
    };
    for (const Key& key : keys)
        EXPECT_EQ(c.allowsRedisKey(key.key), key.allowed) << key.key;
    EXPECT_FALSE(c.redisKeysUnrestricted());
    EXPECT_TRUE(result.rules->callers()[1].redisKeysUnrestricted());
    EXPECT_TRUE(result.rules->callers()[1].allowsRedisKey("anything"));
}

TEST(CallerRulesTest, ProblemsRefuseTheWholeFile) {
    const std::string hash = hashOf("k");
    const std::string secret = "Zm9vYmFyYmF6cXV4LXNlY3JldC1rZXktZm9yLXRlc3Q";
    struct Case {
        const char* name;
        std::string text;
        std::string line;  // the first problem as the log shows it
    } cases[] = {
        {"unknown key", "[a]\nalow=mysql\n",
         "callers.ini: [a] alow=: unknown key (its value is not shown: it could be a key)"},
        {"control byte in a key name", "[a]\nal\row=mysql\n",
         "callers.ini: [a] al?ow=: unknown key (its value is not shown: it could be a key)"},
        {"key pasted instead of its hash", "[a]\nkey_sha256=" + hash + "," + secret + "\n",
         "callers.ini: [a] key_sha256=: entry 2 is not 64 hexadecimal digits (kestrum --hash-key prints a "
         "key's key_sha256; the key itself never belongs here)"},
        {"line without =", "[a]\n" + secret + "\n",
         "callers.ini: [a] a line without \"=\" (its text is not shown: it could be a key)"},
        {"lines before a section", "allow=mysql\n[a]\n",
         "callers.ini: lines before the first [section] header"},
        {"bad caller name", "[my app]\n",
         "callers.ini: [my app] is not a caller name: a letter or digit, then letters, digits, \"_\", \"-\" "
         "and "
         "\".\"; at most 64"},
        {"repeated section", "[a]\n[A]\n", "callers.ini: [A] repeated section: a caller is described once"},
        {"repeated key", "[a]\nallow=mysql\nallow=metrics\n",
         "callers.ini: [a] allow=metrics: repeated key: write every value of a list in one line"},
        {"unknown right", "[a]\nallow=mysql,redis\n",
         "callers.ini: [a] allow=redis: unknown right: mysql, redis.get, redis.set, redis.order, websocket "
         "or "
         "metrics"},
        {"range with host bits", "[a]\nfrom=10.0.0.1/8\n",
         "callers.ini: [a] from=10.0.0.1/8: has bits set after the prefix length: the range would be "
         "10.0.0.0/8"},
        {"host name", "[a]\nfrom=example.com\n",
         "callers.ini: [a] from=example.com: is neither an IPv4 address nor a CIDR range (like 10.0.0.0/8)"},
        {"bad certificate hash", "[a]\ncert_sha256=abc\n",
         "callers.ini: [a] cert_sha256=abc: is not 64 hexadecimal digits: the SHA-256 fingerprint of the "
         "certificate's DER"},
        {"bad account", "[a]\nmysql_account=a b\n",
         "callers.ini: [a] mysql_account=a b: is not an account name: a letter or digit, then letters, "
         "digits, "
         "\"_\", \"-\" and \".\"; at most 64"},
        {"caller name like an option", "[-x]\n",
         "callers.ini: [-x] is not a caller name: a letter or digit, then letters, digits, \"_\", \"-\" and "
         "\".\"; at most 64"},
        {"bad command", "[a]\nredis_commands=GET,CLIENT|\n",
         "callers.ini: [a] redis_commands=CLIENT|: is not a command name, NAME|SUBCOMMAND or \"*\""},
        {"bad pattern", "[a]\nredis_keys=app1:[\n",
         "callers.ini: [a] redis_keys=app1:[: the pattern has a \"[\" without its \"]\""},
        {"rate not a number", "[a]\nrate=fast\n",
         "callers.ini: [a] rate=fast: is not a number of requests per second above 0 (like 20 or 0.5)"},
        {"rate zero", "[a]\nrate=0\n",
         "callers.ini: [a] rate=0: is not a number of requests per second above 0 (like 20 or 0.5)"},
        {"rate with sign", "[a]\nrate=-1\n",
         "callers.ini: [a] rate=-1: is not a number of requests per second above 0 (like 20 or 0.5)"},
        {"burst zero", "[a]\nrate=1\nburst=0\n",
         "callers.ini: [a] burst=0: is not a whole number from 1 to 1000000"},
        {"burst without rate", "[a]\nburst=5\n",
         "callers.ini: [a] burst=5: needs rate: the bucket fills at rate requests per second"},
        {"shared without rate", "[a]\nrate_shared=1\n",
         "callers.ini: [a] rate_shared=1: needs rate: there is nothing to count"},
        {"shared not 0 or 1", "[a]\nrate=1\nrate_shared=yes\n",
         "callers.ini: [a] rate_shared=yes: only 1 (count in Redis) or 0 (count here)"},
        {"in flight too many", "[a]\nmax_in_flight=1000001\n",
         "callers.ini: [a] max_in_flight=1000001: is not a whole number from 1 to 1000000"},
        {"key of two callers", "[a]\nkey_sha256=" + hash + "\n[b]\nkey_sha256=" + hash + "\n",
         "callers.ini: [b] key_sha256=: the same hash is listed for caller a: one key or certificate names "
         "one "
         "caller"},
        {"certificate of two callers", "[a]\ncert_sha256=" + hash + "\n[b]\ncert_sha256=" + hash + "\n",
         "callers.ini: [b] cert_sha256=" + hash +
             ": the same hash is listed for caller a: one key or certificate names one caller"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        // A good caller before the faulty one does not make the file half-loaded.
        CallerRules::LoadResult result =
            parse(c.text.front() == '[' ? "[good]\nallow=mysql\n" + c.text : c.text);
        EXPECT_EQ(result.status, CallerRules::LoadStatus::kFailed);
        EXPECT_EQ(result.rules, nullptr);
        ASSERT_FALSE(result.problems.empty());
        EXPECT_EQ(callerProblemLine("callers.ini", result.problems.front()), c.line);
        for (const CallerRulesProblem& problem : result.problems)
            EXPECT_EQ(callerProblemLine("", problem).find(secret), std::string::npos);
    }
    CallerRules::LoadResult two = parse("[a]\nrate=x\nburst=y\n");
    EXPECT_EQ(two.problems.size(), 2u);
    EXPECT_EQ(
        two.firstProblemLine("callers.ini"),
        "callers.ini: [a] rate=x: is not a number of requests per second above 0 (like 20 or 0.5) (and 1 "
        "more)");
}

TEST(CallerRulesTest, MissingEmptyAndLocalhostWithoutAddress) {
    EXPECT_EQ(CallerRules::load("/nonexistent/callers.ini", "127.0.0.1").status,
              CallerRules::LoadStatus::kMissing);
    // An empty file is in use: it names nobody.
    testing::TempDir dir;
    dir.write("callers.ini", "; every caller revoked\n");
    CallerRules::LoadResult empty = CallerRules::load(dir.path() + "/callers.ini", "127.0.0.1");
    ASSERT_EQ(empty.status, CallerRules::LoadStatus::kLoaded);
    EXPECT_TRUE(empty.rules->callers().empty());
    EXPECT_EQ(empty.rules->findByKey("anything"), nullptr);
    EXPECT_FALSE(empty.rules->anyCertificate());

    CallerRules::LoadResult noLocal = parse("[a]\nfrom=localhost\n", "");
    ASSERT_EQ(noLocal.problems.size(), 1u);
    EXPECT_EQ(noLocal.problems[0].what, "the local address is not known here: write the address");
}

TEST(CallerRulesTest, RateNumbers) {
    struct Case {
        const char* rate;
        const char* burst;
        double expectedRate;
        int64_t expectedBurst;
    } cases[] = {
        {"20", "", 20, 20},     {"0.5", "", 0.5, 1}, {"1000000", "", 1000000, 1000000},
        {"2.25", "7", 2.25, 7}, {"", "", 0, 0},  // empty: no limit
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.rate);
        CallerRules::LoadResult result = parse(std::string("[a]\nrate=") + c.rate +
                                               (*c.burst ? std::string("\nburst=") + c.burst : "") + "\n");
        ASSERT_TRUE(result.rules) << result.firstProblemLine("callers.ini");
        EXPECT_DOUBLE_EQ(result.rules->callers()[0].rate, c.expectedRate);
        EXPECT_EQ(result.rules->callers()[0].burst, c.expectedBurst);
    }
    for (const char* bad : {"1e3", ".5", "5.", "1.2.3", "1000001", "0.0000001", " 5"}) {
        // " 5" is trimmed by the reader and fine; the others are refused.
        CallerRules::LoadResult result = parse(std::string("[a]\nrate=") + bad + "\n");
        EXPECT_EQ(result.status == CallerRules::LoadStatus::kLoaded, std::string(bad) == " 5") << bad;
    }
}

TEST(CallerRightsTest, NamesRoundTrip) {
    for (CallerRight right : {CallerRight::kMysql, CallerRight::kRedisGet, CallerRight::kRedisSet,
                              CallerRight::kRedisOrder, CallerRight::kWebsocket, CallerRight::kMetrics}) {
        EXPECT_EQ(parseCallerRight(callerRightName(right)), right);
    }
    EXPECT_EQ(callerRightName(CallerRight::kRedisOrder), "redis.order");
    EXPECT_EQ(parseCallerRight("REDIS.ORDER"), CallerRight::kRedisOrder);
    EXPECT_FALSE(parseCallerRight("redis"));
    EXPECT_FALSE(parseCallerRight(""));
}

TEST(CredentialsTest, HashesAndHexForms) {
    // FIPS 180-2 test vector.
    EXPECT_EQ(sha256Hex(sha256("abc")), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    const std::string hex = "BA7816BF8F01CFEA414140DE5DAE2223B00361A396177A9CB410FF61F20015AD";
    EXPECT_EQ(parseSha256Hex(hex), sha256("abc"));
    std::string colons;
    for (size_t i = 0; i < hex.size(); i += 2)
        colons += (i ? ":" : "") + hex.substr(i, 2);
    EXPECT_EQ(parseSha256Hex(colons), sha256("abc"));
    for (const std::string& bad : {hex.substr(1), hex + "0", "g" + hex.substr(1), colons.substr(0, 94) + "x",
                                   std::string(95, ':'), std::string()})
        EXPECT_FALSE(parseSha256Hex(bad)) << bad;
}

TEST(CredentialsTest, CertificateFingerprintIsWhatOpensslPrints) {
    testing::RunDir dir;
    dir.installCertificates();
    const std::string path = dir.path() + "/ssl-cert/ca.crt";
    FILE* file = std::fopen(path.c_str(), "r");
    ASSERT_NE(file, nullptr);
    X509* certificate = PEM_read_X509(file, nullptr, nullptr, nullptr);
    std::fclose(file);
    ASSERT_NE(certificate, nullptr);
    std::optional<Sha256> fingerprint = certificateSha256(certificate);
    X509_free(certificate);
    ASSERT_TRUE(fingerprint);

    // "sha256 Fingerprint=AB:CD:..." (the word's case differs between OpenSSL versions).
    FILE* openssl = ::popen(("openssl x509 -noout -fingerprint -sha256 -in '" + path + "'").c_str(), "r");
    ASSERT_NE(openssl, nullptr);
    char line[256] = {};
    ASSERT_NE(std::fgets(line, sizeof line, openssl), nullptr);
    ::pclose(openssl);
    std::string printed(line);
    printed = printed.substr(printed.find('=') + 1);
    while (!printed.empty() && (printed.back() == '\n' || printed.back() == '\r'))
        printed.pop_back();
    EXPECT_EQ(parseSha256Hex(printed), fingerprint);
    EXPECT_FALSE(certificateSha256(nullptr));
}

TEST(CredentialsTest, FreshKeysAreLongRandomAndSendable) {
    std::set<std::string> seen;
    for (int i = 0; i < 100; ++i) {
        std::string key = newCallerKey();
        ASSERT_EQ(key.size(), 43u);
        EXPECT_TRUE(isBearerKey(key)) << key;
        EXPECT_EQ(key.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_"),
                  std::string::npos);
        seen.insert(key);
    }
    EXPECT_EQ(seen.size(), 100u);
}

TEST(CredentialsTest, BearerHeader) {
    struct Case {
        const char* header;
        const char* key;  // nullptr: no key
    } cases[] = {
        {"Bearer abc", "abc"},
        {"bearer abc", "abc"},
        {"BEARER  abc ", "abc"},
        {"Bearer a-b.c_d~e+f/g==", "a-b.c_d~e+f/g=="},
        {"Bearer", nullptr},
        {"Bearer ", nullptr},
        {"Bearerabc", nullptr},
        {"Basic YWxhZGRpbjpvcGVu", nullptr},
        {"Bearer abc def", nullptr},
        {"Bearer a=b", nullptr},
        {"Bearer =abc", nullptr},
        {"Bearer abc\r\nX: y", nullptr},
        {"Bearer \xE4\xB8\xAD", nullptr},
        {"", nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.header);
        std::optional<std::string_view> key = bearerKey(c.header);
        if (c.key == nullptr) {
            EXPECT_FALSE(key);
        } else {
            ASSERT_TRUE(key);
            EXPECT_EQ(*key, c.key);
        }
    }
}

}  // namespace
}  // namespace kestrum
