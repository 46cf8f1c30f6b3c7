// The answers of the Redis route, byte for byte, over a table of requests: the writer's escapes ("\/",
// control characters), numbers read from the body, the byte-order mark of a body and of every answer,
// non-ASCII keys and values, bytes that are no UTF-8, and round trips through Redis with isUnicode on and
// off. The redis lines of both logs (one in the internal encoding, one in UTF-8) are compared too.
#include <gtest/gtest.h>

#include "redis_test_support.h"
#include "support/http_client.h"
#include "support/kestrum_process.h"

namespace kestrum {
namespace {

struct Exchange {
    char server;  // 'u': isUnicode=1, 'g': isUnicode=0
    const char* subPath;
    std::string body;
    std::string answer;  // after the byte-order mark
};

// Lines of type redis, without their number and time.
std::vector<std::string> redisLines(const std::string& log, const std::string& separator) {
    std::vector<std::string> lines;
    const std::string marker = separator + "redis" + separator;
    size_t at = 0;
    while ((at = log.find(marker, at)) != std::string::npos) {
        at += marker.size();
        const size_t end = log.find('\n', at);
        std::string line = log.substr(at, end == std::string::npos ? std::string::npos : end - at);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        lines.push_back(line);
        if (end == std::string::npos)
            break;
        at = end;
    }
    return lines;
}

class Server {
  public:
    Server(int redisPort, bool unicode) {
        dir_.installCertificates();
        port_ = testing::freePort();
        dir_.write("config.ini",
                   "[sys]\nlocal_ip=127.0.0.1\nwhitelist=127.0.0.1\nport_http=" + std::to_string(port_) +
                       "\nport_https=\n" + (unicode ? "" : "log_charset=utf-8\n"));
        dir_.write("mod/mysql/config.ini", "[sys]\non=0\n");
        dir_.write("mod/crontab/config.ini", "[sys]\non=0\n");
        dir_.write("mod/redis/config.ini", "[sys]\nport=" + std::to_string(redisPort) +
                                               "\nisUnicode=" + (unicode ? "1" : "0") + "\n[dbsum]\n0=2\n");
    }
    bool start() {
        return process_.start(dir_.path()) &&
               process_.waitForOutput("http: http://127.0.0.1:" + std::to_string(port_));
    }
    int port() const { return port_; }
    int stop() { return process_.stop(SIGTERM); }
    std::string log() const { return dir_.logText(); }

  private:
    testing::RunDir dir_;
    testing::KestrumProcess process_;
    int port_ = 0;
};

TEST(RedisAnswerTable, AnswersAndLogLinesByteForByte) {
    const int redisPort = testing::sharedRedis().port();
    testing::RedisProbe probe(redisPort, 0);
    probe.run({"FLUSHALL"});
    Server unicode(redisPort, true);
    Server gbk(redisPort, false);
    ASSERT_TRUE(unicode.start());
    ASSERT_TRUE(gbk.start());

    const std::vector<Exchange> table = {
        {'u', "set", "{\"db\":0,\"key\":\"t:a\",\"value\":\"hello\"}",
         "{\"errcode\":200,\"errmsg\":\"success.\"}"},
        {'u', "get", "{\"db\":0,\"key\":\"t:a\"}", "{\"errcode\":200,\"errmsg\":\"hello\"}"},
        {'u', "set", "{\"db\":0,\"key\":\"t:slash\",\"value\":\"a/b\\\\c\\\"d'e\"}",
         "{\"errcode\":200,\"errmsg\":\"success.\"}"},
        {'u', "get", "{\"db\":0,\"key\":\"t:slash\"}", "{\"errcode\":200,\"errmsg\":\"a\\/b\\\\c\\\"d'e\"}"},
        {'u', "set", "{\"db\":0,\"key\":\"t:ctl\",\"value\":\"line\\nbreak\\ttab\\u0001x\x02y\\b\\f\\r\"}",
         "{\"errcode\":200,\"errmsg\":\"success.\"}"},
        {'u', "get", "{\"db\":0,\"key\":\"t:ctl\"}",
         "{\"errcode\":200,\"errmsg\":\"line\\nbreak\\ttab\\u0001x\\u0002y\\b\\f\\r\"}"},
        {'u', "set", "{\"db\":0,\"key\":\"t:num\",\"value\":12.50}",
         "{\"errcode\":200,\"errmsg\":\"success.\"}"},
        {'u', "get", "{\"db\":0,\"key\":\"t:num\"}", "{\"errcode\":200,\"errmsg\":\"12.5\"}"},
        {'u', "set", "{\"db\":0,\"key\":\"t:exp\",\"value\":1e2}",
         "{\"errcode\":200,\"errmsg\":\"success.\"}"},
        {'u', "get", "{\"db\":0,\"key\":\"t:exp\"}", "{\"errcode\":200,\"errmsg\":\"100\"}"},
        {'u', "set", "{\"db\":0,\"key\":\"t:big\",\"value\":123456789012345678901}",
         "{\"errcode\":200,\"errmsg\":\"success.\"}"},
        {'u', "get", "{\"db\":0,\"key\":\"t:big\"}", "{\"errcode\":200,\"errmsg\":\"9223372036854775807\"}"},
        {'u', "set", "{\"db\":0,\"key\":\"t:neg\",\"value\":-0.000012345678901234}",
         "{\"errcode\":200,\"errmsg\":\"success.\"}"},
        {'u', "get", "{\"db\":0,\"key\":\"t:neg\"}", "{\"errcode\":200,\"errmsg\":\"-1.234567890123e-005\"}"},
        {'u', "set", "{\"db\":0,\"key\":\"t:bool\",\"value\":true}",
         "{\"errcode\":200,\"errmsg\":\"success.\"}"},
        {'u', "get", "{\"db\":0,\"key\":\"t:bool\"}", "{\"errcode\":200,\"errmsg\":\"1\"}"},
        {'u', "set", "{\"db\":0,\"key\":\"t:lit\",\"value\":hello}",
         "{\"errcode\":200,\"errmsg\":\"success.\"}"},
        {'u', "get", "{\"db\":0,\"key\":\"t:lit\"}", "{\"errcode\":200,\"errmsg\":\"\"}"},
        {'u', "set", "\xEF\xBB\xBF{\"db\":0,\"key\":\"t:bom\",\"value\":\"\xEF\xBB\xBFinner\"}",
         "{\"errcode\":200,\"errmsg\":\"success.\"}"},
        {'u', "get", "{\"db\":0,\"key\":\"t:bom\"}", "{\"errcode\":200,\"errmsg\":\"\xEF\xBB\xBFinner\"}"},
        {'u', "set",
         "{\"db\":0,\"key\":\"\xE9\x94\xAE/"
         "\xE4\xB8\xAD\",\"value\":\"\xE4\xB8\xAD\xE6\x96\x87\xF0\x9F\x98\x80 \xC3\xA9\"}",
         "{\"errcode\":200,\"errmsg\":\"success.\"}"},
        {'u', "get", "{\"db\":0,\"key\":\"\xE9\x94\xAE/\xE4\xB8\xAD\"}",
         "{\"errcode\":200,\"errmsg\":\"\xE4\xB8\xAD\xE6\x96\x87\xF0\x9F\x98\x80 \xC3\xA9\"}"},
        {'u', "set",
         "{\"db\":0,\"key\":\"t:\\u4e2d\",\"value\":\"\\u4e2d\\ud83d\\ude00|\\ud800|\\u00e9|\\u002f|\\uZZ\"}",
         "{\"errcode\":200,\"errmsg\":\"success.\"}"},
        {'u', "get", "{\"db\":0,\"key\":\"t:\\u4e2d\"}",
         "{\"errcode\":200,\"errmsg\":\"\xE4\xB8\xAD\xF0\x9F\x98\x80|\xEF\xBF\xBD|\xC3\xA9|\\/|\\\\uZZ\"}"},
        {'u', "set",
         "{\"db\":0,\"key\":\"t:bad\",\"value\":\"a\xFF\xFE"
         "b\xE4\xB8"
         "c\xC0\xAF"
         "d\xED\xA0\x80"
         "e\"}",
         "{\"errcode\":200,\"errmsg\":\"success.\"}"},
        {'u', "get", "{\"db\":0,\"key\":\"t:bad\"}",
         "{\"errcode\":200,\"errmsg\":\"a\xEF\xBF\xBD\xEF\xBF\xBD"
         "b\xEF\xBF\xBD\xEF\xBF\xBD"
         "c\xEF\xBF\xBD\xEF\xBF\xBD"
         "d\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"
         "e\"}"},
        {'u', "set", "{\"db\":0,\"key\":\"t:nul\",\"value\":\"a\\u0000b\"}",
         "{\"errcode\":200,\"errmsg\":\"success.\"}"},
        {'u', "get", "{\"db\":0,\"key\":\"t:nul\"}", "{\"errcode\":200,\"errmsg\":\"a\\u0000b\"}"},
        {'u', "set", "{'db':0,'key':'t:sq','value':'x\"y'}", "{\"errcode\":200,\"errmsg\":\"success.\"}"},
        {'u', "get", "{db:0, key : t:sq }", "{\"errcode\":100,\"errmsg\":\"key missing\"}"},
        {'u', "set", "{\"db\":\"0\",\"key\":\"t:ttl\",\"value\":\"v\",\"outtime\":4102444800000}",
         "{\"errcode\":200,\"errmsg\":\"success.\"}"},
        {'u', "order", "{\"db\":0,\"order\":\"PEXPIRETIME t:ttl\"}",
         "{\"errcode\":200,\"errmsg\":\"4102444800000\"}"},
        {'u', "get", "{\"db\":0,\"key\":\"t:none\"}", "{\"errcode\":200,\"errmsg\":\"\"}"},
        {'u', "get", "{\"db\":0}", "{\"errcode\":100,\"errmsg\":\"key missing\"}"},
        {'u', "set", "{\"db\":0,\"key\":\"\"}", "{\"errcode\":100,\"errmsg\":\"key missing\"}"},
        {'u', "get", "{\"db\":5,\"key\":\"t:a\"}", "{\"errcode\":100,\"errmsg\":\"\"}"},
        {'u', "get", "not json at all", "{\"errcode\":100,\"errmsg\":\"key missing\"}"},
        {'u', "get", "", "{\"errcode\":100,\"errmsg\":\"key missing\"}"},
        {'u', "order", "{\"db\":0,\"order\":\"RPUSH t:list a \xE4\xB8\xAD q/ \\\"x y\\\" 'p\\\\q'\"}",
         "{\"errcode\":200,\"errmsg\":\"5\"}"},
        {'u', "order", "{\"db\":0,\"order\":\"LRANGE t:list 0 -1\"}",
         "{\"errcode\":200,\"errmsg\":\"[\\\"a\\\",\\\"\xE4\xB8\xAD\\\",\\\"q\\/\\\",\\\"x "
         "y\\\",\\\"p\\\\\\\\q\\\"]\"}"},
        {'u', "order", "{\"db\":0,\"order\":\"INCR t:n\"}", "{\"errcode\":200,\"errmsg\":\"1\"}"},
        {'u', "order", "{\"db\":0,\"order\":\"GET t:none\"}", "{\"errcode\":200,\"errmsg\":\"\"}"},
        {'u', "order", "{\"db\":0,\"order\":\"NOSUCHCOMMAND x\"}",
         "{\"errcode\":100,\"errmsg\":\"ERR unknown command 'NOSUCHCOMMAND', with args beginning with: 'x' "
         "\"}"},
        {'u', "order", "{\"db\":0,\"order\":\"LPUSH t:a x\"}",
         "{\"errcode\":100,\"errmsg\":\"WRONGTYPE Operation against a key holding the wrong kind of "
         "value\"}"},
        {'u', "order", "{\"db\":0,\"order\":\"SET t:o {1}\"}", "{\"errcode\":200,\"errmsg\":\"OK\"}"},
        {'u', "order", "{\"db\":0,\"order\":\"GET t:o\"}", "{\"errcode\":200,\"errmsg\":\"\"}"},
        {'u', "order", "{\"db\":0,\"order\":\"SET t:order \xE5\x80\xBC\"}",
         "{\"errcode\":200,\"errmsg\":\"OK\"}"},
        {'u', "order", "{\"db\":0,\"order\":\"GET t:order\"}",
         "{\"errcode\":200,\"errmsg\":\"\xE5\x80\xBC\"}"},
        {'u', "order", "{\"db\":0,\"order\":\"EXISTS t:a t:order t:none\"}",
         "{\"errcode\":200,\"errmsg\":\"2\"}"},
        {'u', "order", "{\"db\":0,\"order\":\"SET unbalanced \\\"x\"}",
         "{\"errcode\":100,\"errmsg\":\"unbalanced quotes in command\"}"},
        {'u', "order", "{\"db\":0,\"order\":\"HSET t:h f \\u4e2d\"}", "{\"errcode\":200,\"errmsg\":\"1\"}"},
        {'u', "order", "{\"db\":0,\"order\":\"HGETALL t:h\"}",
         "{\"errcode\":200,\"errmsg\":\"[\\\"f\\\",\\\"\xE4\xB8\xAD\\\"]\"}"},
        {'g', "set", "{\"db\":0,\"key\":\"g:zh\",\"value\":\"\xE4\xB8\xAD\xE6\x96\x87\"}",
         "{\"errcode\":200,\"errmsg\":\"success.\"}"},
        {'g', "order", "{\"db\":0,\"order\":\"STRLEN g:zh\"}", "{\"errcode\":200,\"errmsg\":\"4\"}"},
        {'g', "get", "{\"db\":0,\"key\":\"g:zh\"}",
         "{\"errcode\":200,\"errmsg\":\"\xE4\xB8\xAD\xE6\x96\x87\"}"},
        {'g', "set", "{\"db\":0,\"key\":\"g:\xE9\x94\xAE\",\"value\":\"\xF0\x9F\x98\x80/\xC3\xA9\"}",
         "{\"errcode\":200,\"errmsg\":\"success.\"}"},
        {'g', "order", "{\"db\":0,\"order\":\"STRLEN g:\xE9\x94\xAE\"}",
         "{\"errcode\":200,\"errmsg\":\"7\"}"},
        {'g', "get", "{\"db\":0,\"key\":\"g:\xE9\x94\xAE\"}",
         "{\"errcode\":200,\"errmsg\":\"\xF0\x9F\x98\x80\\/\xC3\xA9\"}"},
        {'g', "set", "{\"db\":0,\"key\":\"g:esc\",\"value\":\"\\u4e2d\\ud83d\\ude00\\\"/\\\\\"}",
         "{\"errcode\":200,\"errmsg\":\"success.\"}"},
        {'g', "get", "{\"db\":0,\"key\":\"g:esc\"}",
         "{\"errcode\":200,\"errmsg\":\"\xE4\xB8\xAD\xF0\x9F\x98\x80\\\"\\/\\\\\"}"},
        {'g', "set",
         "{\"db\":0,\"key\":\"g:bad\",\"value\":\"a\xFF"
         "b\xE4\xB8\"}",
         "{\"errcode\":200,\"errmsg\":\"success.\"}"},
        {'g', "get", "{\"db\":0,\"key\":\"g:bad\"}",
         "{\"errcode\":200,\"errmsg\":\"a\xEF\xBF\xBD"
         "b\xEF\xBF\xBD\xEF\xBF\xBD\"}"},
        {'g', "get", "{\"db\":0,\"key\":\"\xE9\x94\xAE/\xE4\xB8\xAD\"}", "{\"errcode\":200,\"errmsg\":\"\"}"},
        {'g', "get", "{\"db\":0,\"key\":\"t:bad\"}",
         "{\"errcode\":200,\"errmsg\":\"a\xE9\x94\x9F\xE6\x96\xA4\xE6\x8B\xB7"
         "b\xE9\x94\x9F\xE6\x96\xA4\xE6\x8B\xB7"
         "c\xE9\x94\x9F\xE6\x96\xA4\xE6\x8B\xB7"
         "d\xE9\x94\x9F\xE6\x96\xA4\xE6\x8B\xB7\xE9\x94\x9F\xE7\xB5\x9C\"}"},
        {'g', "order", "{\"db\":0,\"order\":\"SET g:o \xE5\x80\xBC\"}",
         "{\"errcode\":200,\"errmsg\":\"OK\"}"},
        {'g', "order", "{\"db\":0,\"order\":\"GET g:o\"}", "{\"errcode\":200,\"errmsg\":\"\xE5\x80\xBC\"}"},
        {'g', "order", "{\"db\":0,\"order\":\"LRANGE t:list 0 -1\"}",
         "{\"errcode\":200,\"errmsg\":\"[\\\"a\\\",\\\"\xE6\xB6\x93\xEF\xBF\xBD\\\",\\\"q\\/\\\",\\\"x "
         "y\\\",\\\"p\\\\\\\\q\\\"]\"}"},
        {'g', "order", "{\"db\":0,\"order\":\"HGETALL t:h\"}",
         "{\"errcode\":200,\"errmsg\":\"[\\\"f\\\",\\\"\xE6\xB6\x93\xEF\xBF\xBD\\\"]\"}"},
        {'g', "order", "{\"db\":0,\"order\":\"NOSUCH \xE4\xB8\xAD\"}",
         "{\"errcode\":100,\"errmsg\":\"ERR unknown command 'NOSUCH', with args beginning with: "
         "'\xE4\xB8\xAD' \"}"},
        {'u', "get", "{\"db\":0,\"key\":\"g:zh\"}",
         "{\"errcode\":200,\"errmsg\":\"\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\"}"},
        {'u', "get", "{\"db\":0,\"key\":\"g:\xE9\x94\xAE\"}", "{\"errcode\":200,\"errmsg\":\"\"}"},
        {'u', "order", "{\"db\":0,\"order\":\"NOSUCH \xE4\xB8\xAD\"}",
         "{\"errcode\":100,\"errmsg\":\"ERR unknown command 'NOSUCH', with args beginning with: "
         "'\xE4\xB8\xAD' \"}"},
        {'u', "order", "{\"db\":0,\"order\":\"GET g:o\"}", "{\"errcode\":200,\"errmsg\":\"\xD6\xB5\"}"},
    };
    const std::string bom = "\xEF\xBB\xBF";
    for (const Exchange& exchange : table) {
        Server& server = exchange.server == 'u' ? unicode : gbk;
        auto reply = testing::post("127.0.0.1", server.port(), std::string("/api/redis/") + exchange.subPath,
                                   exchange.body);
        ASSERT_TRUE(reply) << exchange.body;
        EXPECT_EQ(reply->status, 200);
        ASSERT_EQ(reply->body.substr(0, 3), bom) << exchange.body;
        EXPECT_EQ(reply->body.substr(3), exchange.answer) << exchange.subPath << " " << exchange.body;
    }

    EXPECT_EQ(unicode.stop(), 0);
    EXPECT_EQ(gbk.stop(), 0);
    const std::vector<std::string> unicodeLines = redisLines(unicode.log(), "\xD8\xAD");  // 丨 in GB18030
    const std::vector<std::string> gbkLines = redisLines(gbk.log(), "\xE4\xB8\xA8");      // 丨 in UTF-8
    const std::vector<std::string> expectedUnicode = {
        "set success\xA3\xBA"
        "db(0),key(t:a),value(hello),outtime(0).",
        "get success\xA3\xBA"
        "db(0),key(t:a).",
        "set success\xA3\xBA"
        "db(0),key(t:slash),value(a/b\\c\"d'e),outtime(0).",
        "get success\xA3\xBA"
        "db(0),key(t:slash).",
        "set success\xA3\xBA"
        "db(0),key(t:ctl),value(line\\nbreak\\ttab\\x01x\\x02y\\x08\\x0C\\r),outtime(0).",
        "get success\xA3\xBA"
        "db(0),key(t:ctl).",
        "set success\xA3\xBA"
        "db(0),key(t:num),value(12.5),outtime(0).",
        "get success\xA3\xBA"
        "db(0),key(t:num).",
        "set success\xA3\xBA"
        "db(0),key(t:exp),value(100),outtime(0).",
        "get success\xA3\xBA"
        "db(0),key(t:exp).",
        "set success\xA3\xBA"
        "db(0),key(t:big),value(9223372036854775807),outtime(0).",
        "get success\xA3\xBA"
        "db(0),key(t:big).",
        "set success\xA3\xBA"
        "db(0),key(t:neg),value(-1.234567890123e-005),outtime(0).",
        "get success\xA3\xBA"
        "db(0),key(t:neg).",
        "set success\xA3\xBA"
        "db(0),key(t:bool),value(1),outtime(0).",
        "get success\xA3\xBA"
        "db(0),key(t:bool).",
        "set success\xA3\xBA"
        "db(0),key(t:lit),value(),outtime(0).",
        "get success\xA3\xBA"
        "db(0),key(t:lit).",
        "set success\xA3\xBA"
        "db(0),key(t:bom),value(\x84"
        "1\x95"
        "3inner),outtime(0).",
        "get success\xA3\xBA"
        "db(0),key(t:bom).",
        "set success\xA3\xBA"
        "db(0),key(\xBC\xFC/\xD6\xD0),value(\xD6\xD0\xCE\xC4\x94"
        "9\xFC"
        "6 \xA8\xA6),outtime(0).",
        "get success\xA3\xBA"
        "db(0),key(\xBC\xFC/\xD6\xD0).",
        "set success\xA3\xBA"
        "db(0),key(t:\xD6\xD0),value(\xD6\xD0\x94"
        "9\xFC"
        "6|\x84"
        "1\xA4"
        "7|\xA8\xA6|/|\\uZZ),outtime(0).",
        "get success\xA3\xBA"
        "db(0),key(t:\xD6\xD0).",
        "set success\xA3\xBA"
        "db(0),key(t:bad),value(a\x84"
        "1\xA4"
        "7\x84"
        "1\xA4"
        "7b\x84"
        "1\xA4"
        "7\x84"
        "1\xA4"
        "7c\x84"
        "1\xA4"
        "7\x84"
        "1\xA4"
        "7d\x84"
        "1\xA4"
        "7\x84"
        "1\xA4"
        "7\x84"
        "1\xA4"
        "7e),outtime(0).",
        "get success\xA3\xBA"
        "db(0),key(t:bad).",
        "set success\xA3\xBA"
        "db(0),key(t:nul),value(a\\x00b),outtime(0).",
        "get success\xA3\xBA"
        "db(0),key(t:nul).",
        "set success\xA3\xBA"
        "db(0),key(t:sq),value(x\"y),outtime(0).",
        "get fail\xA3\xBA"
        "db(0),key(),error(key missing).",
        "set success\xA3\xBA"
        "db(0),key(t:ttl),value(v),outtime(4102444800000).",
        "do order success\xA3\xBA"
        "db(0),order(PEXPIRETIME t:ttl).",
        "get success\xA3\xBA"
        "db(0),key(t:none).",
        "get fail\xA3\xBA"
        "db(0),key(),error(key missing).",
        "set fail\xA3\xBA"
        "db(0),key(),value(),outtime(0),error(key missing).",
        "get fail\xA3\xBA"
        "db(5),key(t:a),error().",
        "get fail\xA3\xBA"
        "db(0),key(),error(key missing).",
        "get fail\xA3\xBA"
        "db(0),key(),error(key missing).",
        "do order success\xA3\xBA"
        "db(0),order(RPUSH t:list a \xD6\xD0 q/ \"x y\" 'p\\q').",
        "do order success\xA3\xBA"
        "db(0),order(LRANGE t:list 0 -1).",
        "do order success\xA3\xBA"
        "db(0),order(INCR t:n).",
        "do order success\xA3\xBA"
        "db(0),order(GET t:none).",
        "do order fail\xA3\xBA"
        "db(0),order(NOSUCHCOMMAND x),error(ERR unknown command 'NOSUCHCOMMAND', with args beginning with: "
        "'x' ).",
        "do order fail\xA3\xBA"
        "db(0),order(LPUSH t:a x),error(WRONGTYPE Operation against a key holding the wrong kind of value).",
        "do order success\xA3\xBA"
        "db(0),order(SET t:o {1}).",
        "do order success\xA3\xBA"
        "db(0),order(GET t:o).",
        "do order success\xA3\xBA"
        "db(0),order(SET t:order \xD6\xB5).",
        "do order success\xA3\xBA"
        "db(0),order(GET t:order).",
        "do order success\xA3\xBA"
        "db(0),order(EXISTS t:a t:order t:none).",
        "do order fail\xA3\xBA"
        "db(0),order(SET unbalanced \"x),error(unbalanced quotes in command).",
        "do order success\xA3\xBA"
        "db(0),order(HSET t:h f \xD6\xD0).",
        "do order success\xA3\xBA"
        "db(0),order(HGETALL t:h).",
        "get success\xA3\xBA"
        "db(0),key(g:zh).",
        "get success\xA3\xBA"
        "db(0),key(g:\xBC\xFC).",
        "do order fail\xA3\xBA"
        "db(0),order(NOSUCH \xD6\xD0),error(ERR unknown command 'NOSUCH', with args beginning with: "
        "'\xD6\xD0' ).",
        "do order success\xA3\xBA"
        "db(0),order(GET g:o).",
    };
    const std::vector<std::string> expectedGbk = {
        "set success\xEF\xBC\x9A"
        "db(0),key(g:zh),value(\xE4\xB8\xAD\xE6\x96\x87),outtime(0).",
        "do order success\xEF\xBC\x9A"
        "db(0),order(STRLEN g:zh).",
        "get success\xEF\xBC\x9A"
        "db(0),key(g:zh).",
        "set success\xEF\xBC\x9A"
        "db(0),key(g:\xE9\x94\xAE),value(\xF0\x9F\x98\x80/\xC3\xA9),outtime(0).",
        "do order success\xEF\xBC\x9A"
        "db(0),order(STRLEN g:\xE9\x94\xAE).",
        "get success\xEF\xBC\x9A"
        "db(0),key(g:\xE9\x94\xAE).",
        "set success\xEF\xBC\x9A"
        "db(0),key(g:esc),value(\xE4\xB8\xAD\xF0\x9F\x98\x80\"/\\),outtime(0).",
        "get success\xEF\xBC\x9A"
        "db(0),key(g:esc).",
        "set success\xEF\xBC\x9A"
        "db(0),key(g:bad),value(a\xEF\xBF\xBD"
        "b\xEF\xBF\xBD\xEF\xBF\xBD),outtime(0).",
        "get success\xEF\xBC\x9A"
        "db(0),key(g:bad).",
        "get success\xEF\xBC\x9A"
        "db(0),key(\xE9\x94\xAE/\xE4\xB8\xAD).",
        "get success\xEF\xBC\x9A"
        "db(0),key(t:bad).",
        "do order success\xEF\xBC\x9A"
        "db(0),order(SET g:o \xE5\x80\xBC).",
        "do order success\xEF\xBC\x9A"
        "db(0),order(GET g:o).",
        "do order success\xEF\xBC\x9A"
        "db(0),order(LRANGE t:list 0 -1).",
        "do order success\xEF\xBC\x9A"
        "db(0),order(HGETALL t:h).",
        "do order fail\xEF\xBC\x9A"
        "db(0),order(NOSUCH \xE4\xB8\xAD),error(ERR unknown command 'NOSUCH', with args beginning with: "
        "'\xE4\xB8\xAD' ).",
    };
    EXPECT_EQ(unicodeLines, expectedUnicode);
    EXPECT_EQ(gbkLines, expectedGbk);
}

}  // namespace
}  // namespace kestrum
