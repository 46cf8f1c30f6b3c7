// kestrum_screenshots RUNDIR OUTDIR: runs the program with its window over RUNDIR, waits for the start-up,
// and saves PNG pictures of the main window, the configuration editor, the help window and two notices into
// OUTDIR. Used by scripts/screenshots.sh under Xvfb; not part of the program.
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QLineEdit>
#include <QTimer>
#include <cstdio>

#include "app/application.h"
#include "ui/config_editor.h"
#include "ui/help_window.h"
#include "ui/main_window.h"
#include "ui/window_status.h"

namespace {

void pause(int milliseconds) {
    QEventLoop loop;
    QTimer::singleShot(milliseconds, &loop, &QEventLoop::quit);
    loop.exec();
}

bool save(QWidget* widget, const QString& path) {
    pause(400);
    const bool saved = widget != nullptr && widget->grab().save(path, "PNG");
    std::fprintf(stderr, "%s %s\n", saved ? "saved" : "FAILED", qPrintable(path));
    return saved;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: kestrum_screenshots RUNDIR OUTDIR\n");
        return 2;
    }
    QApplication qt(argc, argv);
    const QString runDir = QDir(QString::fromLocal8Bit(argv[1])).absolutePath();
    const QString out = QDir(QString::fromLocal8Bit(argv[2])).absolutePath();
    QDir().mkpath(out);

    kestrum::WindowStatus status;
    kestrum::Application app(runDir.toStdString(), status);
    kestrum::MainWindow::Options options;
    options.trayAvailable = false;
    kestrum::MainWindow window(app, status, options);
    window.show();
    QElapsedTimer clock;
    clock.start();
    while (window.field(kestrum::StatusField::Https)->text().isEmpty() && clock.elapsed() < 60000)
        pause(50);
    window.taskNameField()->setText("backup");

    bool ok = save(&window, out + "/main-window.png");
    window.openEditor(runDir + "/mod/redis/config.ini");
    ok = save(window.editor(), out + "/editor.png") && ok;
    window.openHelp();
    ok = save(window.helpWindow(), out + "/help.png") && ok;
    window.showNotice(QString::fromUtf8("添加成功！"));
    ok = save(window.notices().current(), out + "/notice.png") && ok;
    window.openEditor(runDir + "/mod/mysql/config.ini");  // refused: the editor is open
    ok = save(window.notices().current(), out + "/notice-failure.png") && ok;

    window.shutDownNow();
    clock.restart();
    while (!window.shutDown() && clock.elapsed() < 30000)
        pause(50);
    return ok ? 0 : 1;
}
