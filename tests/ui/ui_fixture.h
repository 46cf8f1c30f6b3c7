// Shared pieces of the window tests: a run directory with its configuration, the real Application behind a
// MainWindow, and a helper that answers the message box a step opens.
#pragma once

#include <QMessageBox>
#include <QString>
#include <QStringList>
#include <QUrl>
#include <functional>
#include <memory>
#include <string>

#include "app/application.h"
#include "support/kestrum_process.h"
#include "ui/main_window.h"
#include "ui/window_status.h"

namespace kestrum::uitest {

// A run directory: TLS files, config.ini with the given [sys] lines, and the three module files (off unless
// given).
class UiRunDir : public testing::RunDir {
  public:
    explicit UiRunDir(const std::string& sysLines = {});
    QString qpath(const std::string& relative = {}) const;
};

// The program as the desktop runs it: Application + MainWindow over `dir`.
struct Program {
    explicit Program(const UiRunDir& dir, MainWindow::Options options = {});
    ~Program();
    // Shows the window (which starts the start-up) and waits until the HTTPS field, the last one the
    // start-up writes, has its text.
    bool startAndWait();

    WindowStatus status;
    std::unique_ptr<Application> app;
    std::unique_ptr<MainWindow> window;
};

// Runs `answer` on the next message box that becomes the active modal widget (polling from the event loop;
// gives up after five seconds). `seen` gets "title|text" of the box.
void answerNextBox(QMessageBox::StandardButton answer, QString* seen = nullptr);

// Records the URLs handed to the desktop (QDesktopServices) while it lives.
class UrlRecorder : public QObject {
    Q_OBJECT
  public:
    UrlRecorder();
    ~UrlRecorder() override;
    QList<QUrl> urls;

  public slots:
    void open(const QUrl& url) { urls.append(url); }
};

// Presses the left mouse button on a widget.
void press(QWidget* widget);

}  // namespace kestrum::uitest
