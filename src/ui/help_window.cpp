#include "ui/help_window.h"

#include <QDesktopServices>
#include <QFileInfo>
#include <QLabel>
#include <QStyle>
#include <QTextBrowser>

#include "ui/artwork.h"
#include "ui/press_label.h"

namespace kestrum {
namespace {

PressArea* entry(QWidget* parent, HelpIcon icon, const QString& text, int top, const char* name) {
    auto* area = new PressArea(parent);
    area->setObjectName(name);
    area->setGeometry(8, top, 122, 36);
    area->setCursor(Qt::PointingHandCursor);
    auto* picture = new QLabel(area);
    picture->setGeometry(6, 4, 28, 28);
    picture->setPixmap(helpIcon(icon, 28));
    auto* label = new QLabel(text, area);
    label->setGeometry(42, 4, 78, 28);
    label->setStyleSheet("color: #e2e8f0; font-size: 14px;");
    return area;
}

}  // namespace

HelpWindow::HelpWindow(const QString& runDir, QWidget* parent)
    : QWidget(parent, Qt::Window), runDir_(runDir) {
    setAttribute(Qt::WA_DeleteOnClose);
    setObjectName("helpWindow");
    setWindowTitle(QString::fromUtf8("help："));
    setWindowIcon(programIcon());
    resize(988, 737);

    auto* bar = new QWidget(this);
    bar->setObjectName("helpBar");
    bar->setGeometry(0, 0, 138, 737);
    bar->setAttribute(Qt::WA_StyledBackground);
    bar->setStyleSheet(
        "#helpBar { background: qlineargradient(x1:0, y1:0, x2:0, y2:1, stop:0 #1e293b, "
        "stop:1 #0f172a); }");

    const struct {
        HelpIcon icon;
        const char* text;
        int top;
        const char* name;
        const char* page;
    } entries[] = {
        {HelpIcon::System, "系统", 32, "helpSystem", "help.html"},
        {HelpIcon::Mysql, "mysql", 76, "helpMysql", "mod/mysql/help.html"},
        {HelpIcon::Redis, "redis", 120, "helpRedis", "mod/redis/help.html"},
        {HelpIcon::Crontab, "crontab", 165, "helpCrontab", "mod/crontab/help.html"},
    };
    for (const auto& item : entries) {
        PressArea* area = entry(bar, item.icon, QString::fromUtf8(item.text), item.top, item.name);
        area->setAttribute(Qt::WA_StyledBackground);
        area->setStyleSheet(QString("#%1 { border-radius: 8px; } #%1[active=\"true\"] { background: "
                                    "rgba(255, 255, 255, 30); }")
                                .arg(item.name));
        entries_.append({area, QString::fromUtf8(item.page)});
        const QString page = QString::fromUtf8(item.page);
        connect(area, &PressArea::pressed, this, [this, page] { showPage(page); });
    }

    auto* browserIcon = new QLabel(bar);
    browserIcon->setGeometry(14, 573, 22, 22);
    browserIcon->setPixmap(helpIcon(HelpIcon::Browser, 22));
    auto* browserLink = new PressLabel(QString::fromUtf8("使用系统默认浏览器打开"), bar);
    browserLink->setObjectName("helpOpenInBrowser");
    browserLink->setGeometry(6, 597, 128, 20);
    browserLink->setAlignment(Qt::AlignCenter);
    browserLink->setCursor(Qt::PointingHandCursor);
    browserLink->setStyleSheet("color: #93c5fd; text-decoration: underline; font-size: 11px;");
    connect(browserLink, &PressLabel::pressed, this, &HelpWindow::openInBrowser);
    auto* note = new QLabel(QString::fromUtf8("（若图片不显示）"), bar);
    note->setGeometry(6, 619, 128, 18);
    note->setAlignment(Qt::AlignCenter);
    note->setStyleSheet("color: #94a3b8; font-size: 11px;");

    viewer_ = new QTextBrowser(this);
    viewer_->setObjectName("helpViewer");
    viewer_->setGeometry(138, 0, 850, 737);
    viewer_->setOpenLinks(true);
    viewer_->setOpenExternalLinks(true);
    viewer_->setFrameShape(QFrame::NoFrame);
    // Links followed inside the viewer change the page the browser link opens.
    connect(viewer_, &QTextBrowser::sourceChanged, this, [this](const QUrl& url) { page_ = url; });
    showPage("help.html");
}

void HelpWindow::showPage(const QString& relative) {
    for (const auto& [area, page] : entries_) {
        area->setProperty("active", page == relative);
        area->style()->unpolish(area);
        area->style()->polish(area);
    }
    const QString path = runDir_ + "/" + relative;
    if (!QFileInfo::exists(path)) {
        viewer_->setHtml(QString::fromUtf8("<h3>找不到帮助页面</h3><p>%1</p>").arg(path.toHtmlEscaped()));
        page_ = QUrl::fromLocalFile(path);
        return;
    }
    viewer_->setSource(QUrl::fromLocalFile(path));
    page_ = viewer_->source();
}

void HelpWindow::openInBrowser() {
    if (!page_.isEmpty())
        QDesktopServices::openUrl(page_);
}

}  // namespace kestrum
