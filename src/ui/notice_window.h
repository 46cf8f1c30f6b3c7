// Self-closing notices: a small frameless window with a title, a text and a picture that counts down
// "3秒后自动关闭", "2秒后自动关闭", "1秒后自动关闭" one second apart and then closes itself.
//
// GUI thread only. The countdown is a timer of the window's own, so the window is the only thing it touches
// and closing the window early stops it.
#pragma once

#include <QPointer>
#include <QString>
#include <QTimer>
#include <QWidget>

#include "ui/artwork.h"

class QLabel;
class QPushButton;

namespace kestrum {

// What the notice window shows.
struct MessageNotice {
    QString noticeTitle;
    QString noticeText;
    NoticePicture noticePicture = NoticePicture::Success;
};

class NoticeWindow : public QWidget {
    Q_OBJECT
  public:
    explicit NoticeWindow(const MessageNotice& notice, QWidget* parent = nullptr);

    // True when the text label wraps: texts longer than 36 bytes (internal encoding) or with a line break.
    static bool wrapsText(const QString& text);

    QLabel* titleLabel() const { return title_; }
    QLabel* textLabel() const { return text_; }
    QLabel* countdownLabel() const { return countdown_; }
    QPushButton* closeButton() const { return close_; }

  private:
    void tick();

    QLabel* title_;
    QLabel* text_;
    QLabel* countdown_;
    QPushButton* close_;
    QTimer timer_;
    int remaining_ = 3;
};

// The process's notice record and the notice window open now (at most one).
class NoticeBoard {
  public:
    // Fills the record and opens a notice window; one still open is closed first. An empty title becomes
    // "提示：". `anchor` (optional) is the window to centre on.
    NoticeWindow* show(const QString& text, const QString& title = {},
                       NoticePicture picture = NoticePicture::Success, QWidget* anchor = nullptr);
    NoticeWindow* current() const { return open_.data(); }
    const MessageNotice& record() const { return record_; }
    void close();

  private:
    MessageNotice record_;
    QPointer<NoticeWindow> open_;
};

}  // namespace kestrum
