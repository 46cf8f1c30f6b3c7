// The main window's shortcuts: task add and delete with their notices and counter, the editors, the help
// window and what is handed to the desktop.
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QTest>
#include <QTextBrowser>
#include <QToolButton>

#include "app/app_state.h"
#include "ui/config_editor.h"
#include "ui/help_window.h"
#include "ui_fixture.h"
#include "ui_tests.h"

namespace kestrum::uitest {
namespace {

const char kTask[] =
    "[sys]\ntime=0 0 3 * * *\n[info]\non=1\ntype=http\nmethod=get\nurl=http://127.0.0.1:1/\n";

class ShortcutTest : public QObject {
    Q_OBJECT
  private slots:
    void addAndDeleteTask();
    void editorIsSingleInstance();
    void helpWindowPages();
    void foldersAndLogGoToTheDesktop();
};

void clickButton(MainWindow& window, const char* name) {
    auto* button = window.findChild<QToolButton*>(name);
    QVERIFY2(button != nullptr, name);
    QTest::mouseClick(button, Qt::LeftButton);
}

void ShortcutTest::addAndDeleteTask() {
    UiRunDir dir;
    dir.write("mod/crontab/config.ini", "[sys]\non=1\n");
    dir.write("mod/crontab/tasks/first.ini", kTask);
    Program program(dir);
    QVERIFY(program.startAndWait());
    MainWindow& window = *program.window;
    QLineEdit* count = window.field(StatusField::TaskCount);
    QTRY_COMPARE(count->text(), QString("1"));

    struct Step {
        const char* button;
        const char* name;
        const char* notice;
        bool success;
        const char* count;
    };
    dir.write("mod/crontab/tasks/late.ini", kTask);
    const Step steps[] = {
        {"addTaskButton", "", "添加失败！", false, "1"},  // no file of that name
        {"addTaskButton", "nosuch", "添加失败！", false, "1"},
        {"addTaskButton", "late", "添加成功！", true, "2"},
        {"deleteTaskButton", "first", "删除成功！", true, "1"},
        {"deleteTaskButton", "first", "删除失败！", false, "1"},
    };
    for (const Step& step : steps) {
        const QString name = QString::fromUtf8(step.name);
        window.taskNameField()->setText(name);
        clickButton(window, step.button);
        NoticeWindow* notice = window.notices().current();
        QVERIFY(notice != nullptr);
        QCOMPARE(notice->textLabel()->text(), QString::fromUtf8(step.notice));
        QCOMPARE(notice->titleLabel()->text(), QString::fromUtf8("提示："));
        QCOMPARE(window.notices().record().noticePicture,
                 step.success ? NoticePicture::Success : NoticePicture::Failure);
        // Success clears the name; failure keeps it for another try.
        QCOMPARE(window.taskNameField()->text(), step.success ? QString() : name);
        QTRY_COMPARE(count->text(), QString(step.count));
    }
}

void ShortcutTest::editorIsSingleInstance() {
    UiRunDir dir;
    Program program(dir);
    QVERIFY(program.startAndWait());
    MainWindow& window = *program.window;
    clickButton(window, "mysqlConfigButton");
    ConfigEditor* editor = window.editor();
    QVERIFY(editor != nullptr);
    QCOMPARE(editor->path(), dir.qpath("mod/mysql/config.ini"));
    QCOMPARE(editor->windowTitle(), QString("config.ini"));
    QCOMPARE(editor->textField()->toPlainText(), QString("[sys]\non=0\n"));
    QVERIFY(window.notices().current() == nullptr);

    clickButton(window, "redisConfigButton");
    QCOMPARE(window.editor(), editor);
    QCOMPARE(editor->path(), dir.qpath("mod/mysql/config.ini"));
    NoticeWindow* notice = window.notices().current();
    QVERIFY(notice != nullptr);
    QCOMPARE(notice->textLabel()->text(), QString::fromUtf8("请先关闭当前编辑的文件！"));
    QCOMPARE(window.notices().record().noticePicture, NoticePicture::Failure);

    // Closed (without saving), the next button opens its own file; the link opens config.ini.
    answerNextBox(QMessageBox::Cancel);
    editor->close();
    QTRY_VERIFY(window.editor() == nullptr);
    clickButton(window, "cronConfigButton");
    QVERIFY(window.editor() != nullptr);
    QCOMPARE(window.editor()->path(), dir.qpath("mod/crontab/config.ini"));
    QCOMPARE(window.editor()->windowTitle(), QString("config.ini"));
    answerNextBox(QMessageBox::Cancel);
    window.editor()->close();
    QTRY_VERIFY(window.editor() == nullptr);
    press(window.findChild<QLabel*>("configLink"));
    QVERIFY(window.editor() != nullptr);
    QCOMPARE(window.editor()->path(), dir.qpath("config.ini"));
    QCOMPARE(program.app->routes().editedFile, dir.path() + "/config.ini");
    answerNextBox(QMessageBox::Cancel);
    window.editor()->close();
    QTRY_VERIFY(window.editor() == nullptr);
}

void ShortcutTest::helpWindowPages() {
    UiRunDir dir;
    dir.write("help.html", "<html><body><h1>system</h1></body></html>");
    dir.write("mod/mysql/help.html", "<html><body><h1>mysql</h1></body></html>");
    dir.write("mod/redis/help.html", "<html><body><h1>redis</h1></body></html>");
    // No crontab page: the viewer says so.
    Program program(dir);
    QVERIFY(program.startAndWait());
    MainWindow& window = *program.window;
    press(window.findChild<QLabel*>("helpLink"));
    HelpWindow* help = window.helpWindow();
    QVERIFY(help != nullptr);
    QCOMPARE(help->windowTitle(), QString::fromUtf8("help："));
    QCOMPARE(help->size(), QSize(988, 737));
    QCOMPARE(help->currentPage(), QUrl::fromLocalFile(dir.qpath("help.html")));
    QVERIFY(help->viewer()->toPlainText().contains("system"));

    const struct {
        const char* entry;
        const char* page;
        const char* shows;
    } entries[] = {
        {"helpRedis", "mod/redis/help.html", "redis"},
        {"helpMysql", "mod/mysql/help.html", "mysql"},
        {"helpCrontab", "mod/crontab/help.html", "mod/crontab/help.html"},
        {"helpSystem", "help.html", "system"},
    };
    UrlRecorder desktop;
    for (const auto& item : entries) {
        press(help->findChild<QWidget*>(item.entry));
        QCOMPARE(help->currentPage(), QUrl::fromLocalFile(dir.qpath(item.page)));
        QVERIFY2(help->viewer()->toPlainText().contains(item.shows), item.entry);
        press(help->findChild<QLabel*>("helpOpenInBrowser"));
        QCOMPARE(desktop.urls.last(), QUrl::fromLocalFile(dir.qpath(item.page)));
    }
    // A second "help" brings the same window forward.
    press(window.findChild<QLabel*>("helpLink"));
    QCOMPARE(window.helpWindow(), help);
}

void ShortcutTest::foldersAndLogGoToTheDesktop() {
    UiRunDir dir;
    Program program(dir);
    QVERIFY(program.startAndWait());
    MainWindow& window = *program.window;
    UrlRecorder desktop;
    clickButton(window, "logFolderButton");
    clickButton(window, "taskFolderButton");
    press(window.findChild<QLabel*>("logLink"));
    QCOMPARE(desktop.urls.size(), 3);
    QCOMPARE(desktop.urls[0], QUrl::fromLocalFile(dir.qpath("log")));
    QCOMPARE(desktop.urls[1], QUrl::fromLocalFile(dir.qpath("mod/crontab/tasks")));
    // The log link opens the file this run writes.
    const std::vector<std::string> logs = dir.logFiles();
    QCOMPARE(logs.size(), size_t(1));
    QCOMPARE(desktop.urls[2], QUrl::fromLocalFile(dir.qpath("log/" + logs[0])));
}

}  // namespace

std::unique_ptr<QObject> makeShortcutTest() {
    return std::make_unique<ShortcutTest>();
}

}  // namespace kestrum::uitest

#include "shortcut_test.moc"
