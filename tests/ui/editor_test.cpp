// The configuration editor: encodings and line endings kept, atomic replacement, the save question.
#include <sys/stat.h>

#include <QDir>
#include <QPlainTextEdit>
#include <QTest>
#include <filesystem>

#include "ui/config_editor.h"
#include "ui_fixture.h"
#include "ui_tests.h"

namespace kestrum::uitest {
namespace {

using testing::gb;
using testing::TempDir;

class EditorTest : public QObject {
    Q_OBJECT
  private slots:
    void roundTripKeepsEncodingAndLineEnds_data();
    void roundTripKeepsEncodingAndLineEnds();
    void newFileIsUtf8AndFoldersAreMade();
    void failedSaveLeavesTheOldFile();
    void closeAsksCancelDiscardsOkSaves();
};

QStringList entriesOf(const std::string& folder) {
    return QDir(QString::fromStdString(folder)).entryList(QDir::Files | QDir::Hidden);
}

void EditorTest::roundTripKeepsEncodingAndLineEnds_data() {
    QTest::addColumn<QByteArray>("original");
    QTest::addColumn<int>("encoding");
    QTest::addColumn<bool>("crlf");
    const std::string gbk = gb("; 数据库\r\n[sys]\r\non=1\r\n");
    QTest::newRow("GBK, CR LF") << QByteArray(gbk.data(), qsizetype(gbk.size())) << int(TextEncoding::Gb18030)
                                << true;
    QTest::newRow("UTF-8, LF") << QByteArray("; 数据库\n[sys]\non=1\n") << int(TextEncoding::Utf8) << false;
    QTest::newRow("UTF-8 with mark") << QByteArray("\xEF\xBB\xBF; 数据库\n[sys]\n")
                                     << int(TextEncoding::Utf8WithMark) << false;
    QTest::newRow("ASCII") << QByteArray("[sys]\non=0\n") << int(TextEncoding::Utf8) << false;
}

void EditorTest::roundTripKeepsEncodingAndLineEnds() {
    QFETCH(QByteArray, original);
    QFETCH(int, encoding);
    QFETCH(bool, crlf);
    TempDir dir;
    dir.write("config.ini", original.toStdString());
    const QString path = QString::fromStdString(dir.path() + "/config.ini");
    chmod((dir.path() + "/config.ini").c_str(), 0640);

    ConfigText loaded = loadConfigText(path);
    QVERIFY(loaded.existed);
    QCOMPARE(int(loaded.encoding), encoding);
    QCOMPARE(loaded.crlf, crlf);
    QVERIFY(loaded.text.contains("[sys]\n"));
    QVERIFY(!loaded.text.contains('\r'));

    // Unchanged text writes the same bytes back.
    QString error;
    QVERIFY(saveConfigText(path, loaded.text, loaded.encoding, loaded.crlf, error));
    QCOMPARE(QByteArray::fromStdString(dir.read("config.ini")), original);

    // An edit with a character outside GBK proper still round-trips (GB18030 carries it).
    const QString edited = loaded.text + QString::fromUtf8("name=表格😀\n");
    QVERIFY(saveConfigText(path, edited, loaded.encoding, loaded.crlf, error));
    ConfigText again = loadConfigText(path);
    QCOMPARE(again.text, edited);
    QCOMPARE(int(again.encoding), encoding);
    QCOMPARE(again.crlf, crlf);
    if (encoding == int(TextEncoding::Gb18030))
        QVERIFY(dir.read("config.ini").find(gb("表格")) != std::string::npos);
    // Replaced in one rename: no temporary file left beside it, the file mode kept.
    QCOMPARE(entriesOf(dir.path()), QStringList{"config.ini"});
    struct stat info {};
    QCOMPARE(stat((dir.path() + "/config.ini").c_str(), &info), 0);
    QCOMPARE(info.st_mode & 0777, mode_t(0640));
}

void EditorTest::newFileIsUtf8AndFoldersAreMade() {
    TempDir dir;
    const QString path = QString::fromStdString(dir.path() + "/mod/redis/config.ini");
    ConfigText loaded = loadConfigText(path);
    QVERIFY(!loaded.existed);
    QVERIFY(loaded.text.isEmpty());
    QString error;
    QVERIFY(saveConfigText(path, QString::fromUtf8("[sys]\n; 缓存\non=1\n"), loaded.encoding, loaded.crlf,
                           error));
    QCOMPARE(dir.read("mod/redis/config.ini"), std::string("[sys]\n; 缓存\non=1\n"));
}

void EditorTest::failedSaveLeavesTheOldFile() {
    TempDir dir;
    dir.write("mod", "a file where a folder should be");
    QString error;
    QVERIFY(!saveConfigText(QString::fromStdString(dir.path() + "/mod/mysql/config.ini"), "x",
                            TextEncoding::Utf8, false, error));
    QVERIFY(!error.isEmpty());
    QCOMPARE(dir.read("mod"), std::string("a file where a folder should be"));
    QCOMPARE(entriesOf(dir.path()), QStringList{"mod"});
}

void EditorTest::closeAsksCancelDiscardsOkSaves() {
    UiRunDir dir;
    const std::string original = gb("[sys]\r\n; 计划任务\r\non=0\r\n");
    dir.write("mod/crontab/config.ini", original);
    Program program(dir);
    MainWindow& window = *program.window;
    const QString path = dir.qpath("mod/crontab/config.ini");

    window.openEditor(path);
    QVERIFY(window.editor() != nullptr);
    QCOMPARE(window.editor()->textField()->toPlainText(), QString::fromUtf8("[sys]\n; 计划任务\non=0\n"));
    window.editor()->textField()->setPlainText(QString::fromUtf8("[sys]\n; 计划任务\non=1\n"));
    QString seen;
    answerNextBox(QMessageBox::Cancel, &seen);
    window.editor()->close();
    QCOMPARE(seen, QString::fromUtf8("信息：|是否保存修改？"));
    QTRY_VERIFY(window.editor() == nullptr);
    QCOMPARE(dir.read("mod/crontab/config.ini"), original);

    window.openEditor(path);
    window.editor()->textField()->setPlainText(QString::fromUtf8("[sys]\n; 计划任务\non=1\n"));
    QString saved;
    answerNextBox(QMessageBox::Ok);
    QTimer::singleShot(300, [&saved] { answerNextBox(QMessageBox::Ok, &saved); });
    window.editor()->close();
    QTRY_VERIFY(window.editor() == nullptr);
    QCOMPARE(saved, QString::fromUtf8("信息：|已保存，重启后生效！"));
    QCOMPARE(dir.read("mod/crontab/config.ini"), gb("[sys]\r\n; 计划任务\r\non=1\r\n"));
    QCOMPARE(entriesOf(dir.path() + "/mod/crontab"), QStringList{"config.ini"});
}

}  // namespace

std::unique_ptr<QObject> makeEditorTest() {
    return std::make_unique<EditorTest>();
}

}  // namespace kestrum::uitest

#include "editor_test.moc"
