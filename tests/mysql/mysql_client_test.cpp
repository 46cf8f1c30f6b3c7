// MysqlClient against the private server.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "mysql/mysql_client.h"
#include "mysql_test_support.h"

namespace kestrum {
namespace {

using testing::mariadbReady;
using testing::sharedMariadb;

TEST(MysqlClientTest, FailedConnectLeavesClientErrorsAndFailingQueries) {
    MysqlClient client;
    // Nothing listens on port 1: refused at once.
    EXPECT_EQ(client.connect("127.0.0.1", "nobody", "", "", 1, 5), nullptr);
    EXPECT_FALSE(client.query("select 1"));
    EXPECT_GE(client.lastErrno(), 2000);  // a client library error, not a server one
    EXPECT_FALSE(client.lastError().empty());
    EXPECT_EQ(client.storeResult(), nullptr);

    client.close();
    EXPECT_FALSE(client.query("select 1"));
    EXPECT_EQ(client.lastErrno(), 0);
    EXPECT_EQ(client.lastError(), "");
}

TEST(MysqlClientTest, ReadsCellsByNameWithoutMovingTheCursor) {
    ASSERT_TRUE(mariadbReady());
    const auto& server = sharedMariadb();
    MysqlClient client;
    ASSERT_NE(client.connect(server.host(), server.options().user, server.options().password,
                             server.options().database, server.port()),
              nullptr)
        << client.lastError();
    ASSERT_TRUE(
        client.query("select 1 as a, NULL as b, 'first' as c, 'second' as c "
                     "union all select 2, 'n', concat('x', char(0), 'z'), 'y'"))
        << client.lastError();
    MYSQL_RES* result = client.storeResult();
    ASSERT_NE(result, nullptr);

    EXPECT_EQ(MysqlClient::rowCount(result), 2u);
    EXPECT_EQ(MysqlClient::fieldCount(result), 4);
    EXPECT_EQ(MysqlClient::fieldInfo(result, 2).name, "c");
    for (int outside : {-1, 4}) {
        FieldInfo none = MysqlClient::fieldInfo(result, outside);
        EXPECT_EQ(none.name, "");
        EXPECT_EQ(none.typeCode, 0);
    }
    EXPECT_EQ(MysqlClient::columnIndex(result, "c"), 2);
    EXPECT_EQ(MysqlClient::columnIndex(result, "C"), -1);  // case-sensitive

    std::string value = "untouched";
    ASSERT_TRUE(client.seekRow(result, 0));
    EXPECT_TRUE(MysqlClient::valueByName(result, "b", value));
    EXPECT_EQ(value, "");  // SQL NULL
    EXPECT_TRUE(MysqlClient::valueByName(result, "c", value));
    EXPECT_EQ(value, "first");  // the first of two columns named c
    value = "untouched";
    EXPECT_FALSE(MysqlClient::valueByName(result, "missing", value));
    EXPECT_EQ(value, "untouched");

    ASSERT_TRUE(client.seekRow(result, 1));
    for (int repeat = 0; repeat < 2; ++repeat) {  // reading does not advance the cursor
        EXPECT_TRUE(MysqlClient::valueByName(result, "a", value));
        EXPECT_EQ(value, "2");
    }
    EXPECT_TRUE(MysqlClient::valueByName(result, "c", value));
    EXPECT_EQ(value, std::string("x\0z", 3));  // every byte, a NUL included
    EXPECT_FALSE(client.seekRow(result, 2));
    MysqlClient::freeResult(result);
    MysqlClient::freeResult(nullptr);
    EXPECT_EQ(MysqlClient::rowCount(nullptr), 0u);
    EXPECT_EQ(MysqlClient::columnIndex(nullptr, "a"), -1);
}

}  // namespace
}  // namespace kestrum
