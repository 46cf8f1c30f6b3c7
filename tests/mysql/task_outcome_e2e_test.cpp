// Outcome lines of task files through the real kestrum binary: an SQL error and a success from the MySQL
// server, a failing program and its captured output.
#include <gtest/gtest.h>

#include <string>

#include "mysql_test_support.h"
#include "support/kestrum_process.h"

namespace kestrum {
namespace {

using testing::gb;
using testing::KestrumProcess;
using testing::RunDir;

TEST(TaskOutcomeEndToEndTest, SqlErrorsSuccessesAndFailingProgramsAreLogged) {
    ASSERT_TRUE(testing::mariadbReady());
    const auto& server = testing::sharedMariadb();
    RunDir dir;
    dir.installCertificates();
    dir.write("config.ini", "[sys]\nlocal_ip=127.0.0.1\nwhitelist=127.0.0.1\n");
    dir.switchModulesOff();
    dir.write("mod/mysql/config.ini", "[sys]\non=1\nconnectSum=1\nadress=" + server.host() + "\nport=" +
                                          std::to_string(server.port()) + "\nuser=" + server.options().user +
                                          "\npassword=" + server.options().password +
                                          "\ndatabase=" + server.options().database + "\n");
    dir.write("mod/crontab/config.ini", "[sys]\non=1\n");
    dir.write(
        "mod/crontab/tasks/broken.ini",
        "[sys]\ntime=* * * * * *\nmaxdo=1\ntimes_maxdo=1\n[info]\ntype=sql\nsql=drop table no_such_table\n");
    dir.write("mod/crontab/tasks/fine.ini",
              "[sys]\ntime=* * * * * *\nmaxdo=1\ntimes_maxdo=1\n[info]\ntype=sql\nsql=select 1\n");
    dir.write("mod/crontab/tasks/failing.ini",
              "[sys]\ntime=* * * * * *\nmaxdo=1\ntimes_maxdo=1\n[info]\ntype=run\npath=/bin/sh\n"
              "params=-c 'echo \"cannot reach backup host\"; exit 4'\n");
    KestrumProcess kestrum;
    ASSERT_TRUE(kestrum.start(dir.path()));
    EXPECT_TRUE(kestrum.waitForLog(dir, gb("load task：name(failing),time(* * * * * *),maxdo(1).")));
    EXPECT_TRUE(kestrum.waitForLog(
        dir, gb("done：name(broken),sql error(1051,Unknown table 'kestrum_test.no_such_table'),seconds(")))
        << dir.logText();
    EXPECT_TRUE(kestrum.waitForLog(dir, gb("done：name(fine),sql ok,seconds("))) << dir.logText();
    EXPECT_TRUE(kestrum.waitForLog(dir, gb("done：name(failing),exit(4),seconds("))) << dir.logText();
    EXPECT_TRUE(kestrum.waitForLog(dir, gb("),output(cannot reach backup host\\n).")));
    EXPECT_EQ(kestrum.stop(), 0);
    // The program's output went into the log line only, never into kestrum's own output.
    EXPECT_EQ(kestrum.output().find("cannot reach backup host"), std::string::npos);
    EXPECT_EQ(kestrum.errorOutput().find("cannot reach backup host"), std::string::npos);
}

}  // namespace
}  // namespace kestrum
