#include "ui/notice_window.h"

#include <QGuiApplication>
#include <QLabel>
#include <QPushButton>
#include <QScreen>

#include "util/encoding.h"

namespace kestrum {
namespace {

QString countdownText(int seconds) {
    return QString::number(seconds) + QString::fromUtf8("秒后自动关闭");
}

QLabel* glyph(QWidget* parent, const char* text, int left) {
    auto* label = new QLabel(QString::fromUtf8(text), parent);
    label->setGeometry(left, 4, 20, 18);
    label->setAlignment(Qt::AlignCenter);
    label->setStyleSheet("color: #475569; font-size: 12px;");
    return label;
}

}  // namespace

bool NoticeWindow::wrapsText(const QString& text) {
    if (text.contains('\n') || text.contains('\r'))
        return true;
    const std::u16string utf16 = text.toStdU16String();
    return utf16ToText(utf16, CodePage::Gbk).size() > 36;
}

NoticeWindow::NoticeWindow(const MessageNotice& notice, QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint) {
    setAttribute(Qt::WA_DeleteOnClose);
    setObjectName("notice");
    setFixedSize(492, 211);
    setWindowTitle(notice.noticeTitle);
    setWindowIcon(programIcon());

    auto* background = new QLabel(this);
    background->setGeometry(0, 0, 492, 211);
    background->setPixmap(noticePicture(notice.noticePicture));

    title_ = new QLabel(notice.noticeTitle, this);
    title_->setObjectName("noticeTitle");
    title_->setGeometry(8, 8, 300, 18);
    title_->setStyleSheet("color: #334155; font-weight: bold;");

    text_ = new QLabel(notice.noticeText, this);
    text_->setObjectName("noticeText");
    text_->setGeometry(32, 64, 288, 120);
    text_->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    text_->setWordWrap(wrapsText(notice.noticeText));
    text_->setTextFormat(Qt::PlainText);
    QFont textFont = text_->font();
    textFont.setPointSizeF(textFont.pointSizeF() * 1.5);
    textFont.setBold(true);
    text_->setFont(textFont);
    text_->setStyleSheet(notice.noticePicture == NoticePicture::Success ? "color: #166534;"
                                                                        : "color: #b91c1c;");

    countdown_ = new QLabel(countdownText(remaining_), this);
    countdown_->setObjectName("noticeCountdown");
    countdown_->setGeometry(363, 153, 104, 40);
    countdown_->setAlignment(Qt::AlignCenter);
    countdown_->setStyleSheet("color: #475569;");

    glyph(this, "_", 420);
    glyph(this, "□", 444);
    glyph(this, "×", 468);
    close_ = new QPushButton(this);
    close_->setObjectName("noticeClose");
    close_->setGeometry(468, 4, 20, 18);
    close_->setFlat(true);
    close_->setCursor(Qt::PointingHandCursor);
    close_->setToolTip(QString::fromUtf8("关闭"));
    close_->setStyleSheet(
        "QPushButton { background: transparent; border: none; }"
        "QPushButton:hover { background: rgba(220, 38, 38, 60); border-radius: 3px; }");
    connect(close_, &QPushButton::clicked, this, &QWidget::close);

    timer_.setInterval(1000);
    connect(&timer_, &QTimer::timeout, this, &NoticeWindow::tick);
    timer_.start();
}

void NoticeWindow::tick() {
    --remaining_;
    if (remaining_ > 0) {
        countdown_->setText(countdownText(remaining_));
        return;
    }
    timer_.stop();
    close();
}

NoticeWindow* NoticeBoard::show(const QString& text, const QString& title, NoticePicture picture,
                                QWidget* anchor) {
    record_.noticeTitle = title.isEmpty() ? QString::fromUtf8("提示：") : title;
    record_.noticeText = text;
    record_.noticePicture = picture;
    close();
    auto* window = new NoticeWindow(record_);
    QRect area;
    if (anchor != nullptr && anchor->isVisible())
        area = anchor->frameGeometry();
    else if (QScreen* screen = QGuiApplication::primaryScreen())
        area = screen->availableGeometry();
    if (area.isValid())
        window->move(area.center() - QPoint(window->width() / 2, window->height() / 2));
    window->show();
    open_ = window;
    return window;
}

void NoticeBoard::close() {
    if (open_)
        open_->close();
    open_.clear();
}

}  // namespace kestrum
