// The help window: a left bar with the entries 系统, mysql, redis and crontab and a viewer that shows the
// help page of the entry pressed; the link "使用系统默认浏览器打开" hands the page shown to the desktop's
// browser.
#pragma once

#include <QList>
#include <QPair>
#include <QString>
#include <QUrl>
#include <QWidget>

class QTextBrowser;

namespace kestrum {

class HelpWindow : public QWidget {
    Q_OBJECT
  public:
    // `runDir`: the run directory, where help.html and mod/<module>/help.html live.
    explicit HelpWindow(const QString& runDir, QWidget* parent = nullptr);

    QTextBrowser* viewer() const { return viewer_; }
    // Shows runDir + "/" + relative in the viewer.
    void showPage(const QString& relative);
    // Opens the address the viewer shows in the system's default browser.
    void openInBrowser();
    // The address the viewer shows.
    const QUrl& currentPage() const { return page_; }

  private:
    QString runDir_;
    QUrl page_;
    QList<QPair<QWidget*, QString>> entries_;  // left-bar entry, page it shows
    QTextBrowser* viewer_;
};

}  // namespace kestrum
