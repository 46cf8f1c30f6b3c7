// The main window over the real start-up: fields and marks, the close question, the tray icon.
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QScreen>
#include <QSignalSpy>
#include <QSystemTrayIcon>
#include <QTest>
#include <thread>

#include "support/http_client.h"
#include "ui/tray_holder.h"
#include "ui_fixture.h"
#include "ui_tests.h"

namespace kestrum::uitest {
namespace {

using testing::freePort;
using testing::gb;

class MainWindowTest : public QObject {
    Q_OBJECT
  private slots:
    void layoutBeforeStartup();
    void statusWritesFromOtherThreadsAreQueued();
    void fieldsAfterStartup_data();
    void fieldsAfterStartup();
    void closeWithCancelKeepsServingAndOkShutsDown();
    void signalWhileTheCloseQuestionIsOpen();
    void minimizeHidesBehindOneTrayIcon();
    void withoutTrayMinimizeKeepsTheWindow();
};

void MainWindowTest::layoutBeforeStartup() {
    UiRunDir dir;
    Program program(dir);
    MainWindow& window = *program.window;
    QCOMPARE(window.windowTitle(), QString::fromUtf8("kestrum："));
    QCOMPARE(window.size(), QSize(849, 527));
    QCOMPARE(window.pos(), QPoint(50, 50));
    QCOMPARE(window.field(StatusField::Http)->geometry(), QRect(130, 151, 192, 16));
    QCOMPARE(window.field(StatusField::MysqlPool)->geometry(), QRect(730, 60, 57, 24));
    QCOMPARE(window.field(StatusField::TaskCount)->geometry(), QRect(701, 407, 48, 16));
    QCOMPARE(window.taskNameField()->geometry(), QRect(701, 449, 68, 16));
    QCOMPARE(window.mark(ModuleMark::Mysql)->geometry(), QRect(404, 143, 20, 16));
    QCOMPARE(window.mark(ModuleMark::Mysql)->text(), QString::fromUtf8("×"));
    QCOMPARE(window.findChild<QWidget*>("addTaskButton")->geometry(), QRect(775, 455, 15, 15));
    QCOMPARE(window.findChild<QWidget*>("logLink")->geometry(), QRect(177, 416, 64, 24));
    for (StatusField f :
         {StatusField::Http, StatusField::Https, StatusField::Heartbeat, StatusField::MysqlPool,
          StatusField::MysqlUrl, StatusField::RedisUrl, StatusField::TaskCount}) {
        QLineEdit* field = window.field(f);
        QVERIFY(field->isReadOnly());
        QVERIFY(field->text().isEmpty());
        QCOMPARE(field->palette().color(QPalette::Text), QColor(0x10, 0x3c, 0xd8));
        QCOMPARE(field->palette().color(QPalette::Base), QColor(Qt::white));
    }
    QVERIFY(!window.taskNameField()->isReadOnly());
    // The window was never shown: no start-up ran, and destroying it must not run a shutdown of its own.
}

void MainWindowTest::statusWritesFromOtherThreadsAreQueued() {
    UiRunDir dir;
    Program program(dir);
    QLineEdit* http = program.window->field(StatusField::Http);
    std::thread writer([&] {
        program.status.setText(StatusField::Http, gb("http://中文"));
        program.status.setMarkVisible(ModuleMark::Redis, false);
    });
    writer.join();
    // Nothing was touched on the writer's thread; the GUI thread applies the writes.
    QVERIFY(http->text().isEmpty());
    QTRY_COMPARE(http->text(), QString::fromUtf8("http://中文"));
    QVERIFY(program.window->mark(ModuleMark::Redis)->isHidden());

    // Writes for a window that is gone are dropped.
    program.window.reset();
    std::thread late([&] { program.status.setText(StatusField::Http, "late"); });
    late.join();
    QTest::qWait(20);
}

void MainWindowTest::fieldsAfterStartup_data() {
    QTest::addColumn<bool>("modulesOn");
    QTest::newRow("modules on, back ends down, one port for both listeners") << true;
    QTest::newRow("modules off, listeners off") << false;
}

void MainWindowTest::fieldsAfterStartup() {
    QFETCH(bool, modulesOn);
    const int port = freePort();
    UiRunDir dir(modulesOn ? "api_heart_url=/hb\nport_http=" + std::to_string(port) +
                                 "\nport_https=" + std::to_string(port) + "\n"
                           : "");
    if (modulesOn) {
        // Nothing listens on 127.0.0.66:3306 or on the Redis port: the pool opens no connection.
        dir.write("mod/mysql/config.ini",
                  "[sys]\non=1\nconnectSum=2\nadress=127.0.0.66\nuser=u\npassword=p\ndatabase=d\n"
                  "api_url=/api/db\nconnect_timeout=2\n");
        dir.write("mod/redis/config.ini", "[sys]\non=1\nip=127.0.0.1\nport=" + std::to_string(freePort()) +
                                              "\napi_url=/api/kv\n[dbsum]\n0=1\n");
        dir.write("mod/crontab/config.ini", "[sys]\non=1\n");
        dir.write("mod/crontab/tasks/nightly.ini",
                  "[sys]\ntime=0 0 3 * * *\n[info]\non=1\ntype=http\nmethod=get\nurl=http://127.0.0.1:1/\n");
    }
    Program program(dir);
    QVERIFY(program.startAndWait());
    MainWindow& window = *program.window;
    auto text = [&](StatusField f) { return window.field(f)->text(); };
    if (modulesOn) {
        QCOMPARE(text(StatusField::Http), QString("http://127.0.0.1:%1").arg(port));
        QCOMPARE(text(StatusField::Https), QString("https://fail"));
        QCOMPARE(text(StatusField::Heartbeat), QString("/hb"));
        QCOMPARE(text(StatusField::MysqlPool), QString("0/2"));
        QCOMPARE(text(StatusField::MysqlUrl), QString("/api/db"));
        QCOMPARE(text(StatusField::RedisUrl), QString("/api/kv"));
        // The task file and the pool's keep-alive task.
        QTRY_COMPARE(text(StatusField::TaskCount), QString("2"));
        for (ModuleMark m : {ModuleMark::Mysql, ModuleMark::Redis, ModuleMark::Cron})
            QVERIFY(window.mark(m)->isHidden());
    } else {
        QCOMPARE(text(StatusField::Http), QString("http://off"));
        QCOMPARE(text(StatusField::Https), QString("https://off"));
        QCOMPARE(text(StatusField::Heartbeat), QString("/api/this/heart"));
        for (StatusField f :
             {StatusField::MysqlPool, StatusField::MysqlUrl, StatusField::RedisUrl, StatusField::TaskCount})
            QVERIFY(text(f).isEmpty());
        for (ModuleMark m : {ModuleMark::Mysql, ModuleMark::Redis, ModuleMark::Cron})
            QVERIFY(window.mark(m)->isVisible());
    }
}

void MainWindowTest::closeWithCancelKeepsServingAndOkShutsDown() {
    const int port = freePort();
    UiRunDir dir("port_http=" + std::to_string(port) + "\nwhitelist=127.0.0.1\n");
    Program program(dir);
    QVERIFY(program.startAndWait());
    MainWindow& window = *program.window;
    QSignalSpy finished(&window, &MainWindow::finished);
    auto heartbeat = [port] {
        auto reply = testing::get("127.0.0.1", port, "/api/this/heart", testing::HttpClient::Ms(2000));
        return reply && reply->status == 200 && reply->body == std::string("\xEF\xBB\xBF") + "da da da ...";
    };
    QVERIFY(heartbeat());

    QString seen;
    answerNextBox(QMessageBox::Cancel, &seen);
    QVERIFY(!window.close());
    QCOMPARE(seen, QString::fromUtf8("sure?|exit，please!"));
    QVERIFY(window.isVisible());
    QVERIFY(!window.shutDown());
    QCOMPARE(finished.count(), 0);
    QVERIFY(heartbeat());

    answerNextBox(QMessageBox::Ok);
    QVERIFY(window.close());
    QCOMPARE(finished.count(), 1);
    QVERIFY(window.shutDown());
    QVERIFY(!heartbeat());
    QVERIFY(dir.logText().find("app/end" + gb("丨will be free.")) != std::string::npos);
}

void MainWindowTest::signalWhileTheCloseQuestionIsOpen() {
    UiRunDir dir;
    Program program(dir);
    QVERIFY(program.startAndWait());
    MainWindow& window = *program.window;
    QSignalSpy finished(&window, &MainWindow::finished);
    // SIGTERM arrives while the user looks at the close question: the program still ends, once.
    QTimer::singleShot(200, &window, [&window] { window.shutDownNow(); });
    window.close();
    QTRY_COMPARE(finished.count(), 1);
    QVERIFY(window.shutDown());
    QTest::qWait(50);
    QCOMPARE(finished.count(), 1);
}

void MainWindowTest::minimizeHidesBehindOneTrayIcon() {
    UiRunDir dir;
    MainWindow::Options options;
    options.trayAvailable = true;
    Program program(dir, options);
    QVERIFY(program.startAndWait());
    MainWindow& window = *program.window;
    QCOMPARE(window.tray().iconsCreated(), 0);

    window.showMinimized();
    QTRY_VERIFY(!window.isVisible());
    QCOMPARE(window.tray().iconsCreated(), 1);
    QSystemTrayIcon* icon = window.tray().icon();
    QVERIFY(icon != nullptr);
    QCOMPARE(icon->toolTip(), QString("kestrum"));

    // Single and right clicks do nothing.
    emit icon->activated(QSystemTrayIcon::Trigger);
    emit icon->activated(QSystemTrayIcon::Context);
    QTest::qWait(50);
    QVERIFY(!window.isVisible());

    emit icon->activated(QSystemTrayIcon::DoubleClick);
    QTRY_VERIFY(window.isVisible());
    QVERIFY(!window.isMinimized());
    const QPoint screenCentre = window.screen()->availableGeometry().center();
    QVERIFY((window.frameGeometry().center() - screenCentre).manhattanLength() <= 2);

    window.showMinimized();
    QTRY_VERIFY(!window.isVisible());
    QCOMPARE(window.tray().iconsCreated(), 1);
    QCOMPARE(window.tray().icon(), icon);
    emit icon->activated(QSystemTrayIcon::DoubleClick);
    QTRY_VERIFY(window.isVisible());

    // SIGTERM while the window sits in the tray still ends the program.
    window.showMinimized();
    QTRY_VERIFY(!window.isVisible());
    QSignalSpy finished(&window, &MainWindow::finished);
    window.shutDownNow();
    QTRY_COMPARE(finished.count(), 1);
    QVERIFY(window.shutDown());
}

void MainWindowTest::withoutTrayMinimizeKeepsTheWindow() {
    UiRunDir dir;
    MainWindow::Options options;
    options.trayAvailable = false;
    Program program(dir, options);
    QVERIFY(program.startAndWait());
    program.window->showMinimized();
    QTest::qWait(50);
    // Nothing could bring a hidden window back: it stays minimized in the task bar.
    QVERIFY(program.window->isVisible());
    QCOMPARE(program.window->tray().iconsCreated(), 0);
}

}  // namespace

std::unique_ptr<QObject> makeMainWindowTest() {
    return std::make_unique<MainWindowTest>();
}

}  // namespace kestrum::uitest

#include "main_window_test.moc"
