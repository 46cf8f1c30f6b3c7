// The main window "kestrum：": the diagram of the program with the status fields the start-up fills, the "×"
// marks of modules that are off, and the shortcuts (configuration editors, help, log and task folders, add
// and delete task).
//
// Its first show starts the start-up routine on a thread of its own. Closing asks "exit，please!"; OK runs
// the shutdown routine on the GUI thread and then emits finished(). Minimizing hides the window behind the
// tray icon; a double-click on the icon brings it back, centred on the screen.
//
// Every member function runs on the GUI thread; other threads reach the fields through WindowStatus.
#pragma once

#include <QPointer>
#include <QString>
#include <QWidget>
#include <array>
#include <functional>
#include <optional>
#include <thread>

#include "app/status_view.h"
#include "ui/artwork.h"
#include "ui/notice_window.h"

class QLabel;
class QLineEdit;
class QMessageBox;

namespace kestrum {

class Application;
class ConfigEditor;
class HelpWindow;
class TrayHolder;
class WindowStatus;

class MainWindow : public QWidget {
    Q_OBJECT
  public:
    struct Options {
        // Whether the desktop has a notification area; unset asks Qt.
        std::optional<bool> trayAvailable;
        // Called on the start-up thread when the servers could not be prepared (the program must end).
        std::function<void()> startupFailed;
    };

    MainWindow(Application& app, WindowStatus& status, Options options);
    ~MainWindow() override;

    // Status writes, delivered by WindowStatus. `text` is shown as it is.
    void showText(StatusField field, const QString& text);
    void showMark(ModuleMark mark, bool visible);

    // The shortcut actions.
    void openEditor(const QString& path);
    void openHelp();
    void showNotice(const QString& text, const QString& title = {},
                    NoticePicture picture = NoticePicture::Success);
    static void openInShell(const QString& path);
    void addTask();
    void deleteTask();

    // Ends the program without the close question (SIGINT, SIGTERM): other windows are closed without their
    // questions, the shutdown routine runs and finished() is emitted.
    void shutDownNow();
    bool shutDown() const { return shutDown_; }

    QLineEdit* field(StatusField field) const { return fields_[static_cast<size_t>(field)]; }
    QLineEdit* taskNameField() const { return taskName_; }
    QLabel* mark(ModuleMark mark) const { return marks_[static_cast<size_t>(mark)]; }
    ConfigEditor* editor() const;
    HelpWindow* helpWindow() const;
    NoticeBoard& notices() { return notices_; }
    TrayHolder& tray() const { return *tray_; }
    // The run directory (as a file-system path).
    QString runDir() const;

  signals:
    // The shutdown routine has run: the program can end.
    void finished();

  protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void changeEvent(QEvent* event) override;

  private:
    void buildControls();
    void restoreFromTray();
    void runShutdown();
    void closeOtherWindows(bool ask);

    Application& app_;
    WindowStatus& status_;
    Options options_;
    std::array<QLineEdit*, 7> fields_{};
    std::array<QLabel*, 3> marks_{};
    QLineEdit* taskName_ = nullptr;
    TrayHolder* tray_ = nullptr;
    NoticeBoard notices_;
    QPointer<ConfigEditor> editor_;
    QPointer<HelpWindow> help_;
    QPointer<QMessageBox> closeQuestion_;
    std::thread startup_;
    bool started_ = false;
    bool forced_ = false;  // closing on a signal: no questions
    bool shutDown_ = false;
};

}  // namespace kestrum
