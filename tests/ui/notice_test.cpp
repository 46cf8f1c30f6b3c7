// Notices: the countdown, closing, replacing, and the wrap rule of the text label.
#include <QElapsedTimer>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QTest>

#include "ui/notice_window.h"
#include "ui_tests.h"

namespace kestrum::uitest {
namespace {

class NoticeTest : public QObject {
    Q_OBJECT
  private slots:
    void countsDownOneSecondApartThenCloses();
    void closeButtonAndReplacement();
    void wrapRule_data();
    void wrapRule();
};

void NoticeTest::countsDownOneSecondApartThenCloses() {
    NoticeBoard board;
    QElapsedTimer clock;
    clock.start();
    QPointer<NoticeWindow> notice = board.show(QString::fromUtf8("添加成功！"));
    QVERIFY(notice->isVisible());
    QVERIFY(notice->windowFlags() & Qt::FramelessWindowHint);
    QCOMPARE(notice->size(), QSize(492, 211));
    QCOMPARE(notice->windowTitle(), QString::fromUtf8("提示："));
    QCOMPARE(notice->titleLabel()->text(), QString::fromUtf8("提示："));
    QCOMPARE(notice->titleLabel()->pos(), QPoint(8, 8));
    QCOMPARE(notice->countdownLabel()->geometry(), QRect(363, 153, 104, 40));
    QCOMPARE(notice->closeButton()->size(), QSize(20, 18));

    // When each countdown text appeared, and when the window went.
    QStringList texts;
    QList<qint64> at;
    while (notice && clock.elapsed() < 6000) {
        const QString text = notice->countdownLabel()->text();
        if (texts.isEmpty() || texts.last() != text) {
            texts << text;
            at << clock.elapsed();
        }
        QTest::qWait(10);
    }
    QVERIFY(!notice);
    const qint64 closedAt = clock.elapsed();
    QCOMPARE(texts, QStringList({QString::fromUtf8("3秒后自动关闭"), QString::fromUtf8("2秒后自动关闭"),
                                 QString::fromUtf8("1秒后自动关闭")}));
    at << closedAt;
    for (int i = 1; i < at.size(); ++i) {
        const qint64 step = at[i] - at[i - 1];
        QVERIFY2(step > 850 && step < 1800, qPrintable(QString("step %1: %2 ms").arg(i).arg(step)));
    }
    QVERIFY(board.current() == nullptr);
}

void NoticeTest::closeButtonAndReplacement() {
    NoticeBoard board;
    QPointer<NoticeWindow> first = board.show("first", QString::fromUtf8("标题："), NoticePicture::Failure);
    QCOMPARE(first->titleLabel()->text(), QString::fromUtf8("标题："));
    QCOMPARE(board.record().noticePicture, NoticePicture::Failure);
    // A second notice while the first is open replaces it.
    QPointer<NoticeWindow> second = board.show("second");
    QCOMPARE(board.current(), second.data());
    QCOMPARE(board.record().noticeText, QString("second"));
    QCOMPARE(board.record().noticePicture, NoticePicture::Success);
    QTRY_VERIFY(!first);
    QVERIFY(second->isVisible());
    QTest::mouseClick(second->closeButton(), Qt::LeftButton);
    QTRY_VERIFY(!second);
    QVERIFY(board.current() == nullptr);
    // Many in a row, faster than they close.
    for (int i = 0; i < 20; ++i)
        board.show(QString::number(i));
    QTest::qWait(20);
    QCOMPARE(board.current()->textLabel()->text(), QString("19"));
    board.close();
}

void NoticeTest::wrapRule_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("wraps");
    QTest::newRow("short") << QString::fromUtf8("添加成功！") << false;
    QTest::newRow("36 bytes") << QString(36, 'a') << false;
    QTest::newRow("37 bytes") << QString(37, 'a') << true;
    QTest::newRow("18 Chinese characters = 36 bytes")
        << QString::fromUtf8("请先关闭当前编辑的文件请先关闭当前编") << false;
    QTest::newRow("19 Chinese characters")
        << QString::fromUtf8("请先关闭当前编辑的文件请先关闭当前编辑") << true;
    QTest::newRow("CR LF") << QString("a\r\nb") << true;
}

void NoticeTest::wrapRule() {
    QFETCH(QString, text);
    QFETCH(bool, wraps);
    QCOMPARE(NoticeWindow::wrapsText(text), wraps);
    NoticeBoard board;
    NoticeWindow* notice = board.show(text);
    QCOMPARE(notice->textLabel()->wordWrap(), wraps);
    QCOMPARE(notice->textLabel()->text(), text);
    board.close();
}

}  // namespace

std::unique_ptr<QObject> makeNoticeTest() {
    return std::make_unique<NoticeTest>();
}

}  // namespace kestrum::uitest

#include "notice_test.moc"
