#include "ui_fixture.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDesktopServices>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QTest>
#include <QTimer>

namespace kestrum::uitest {

UiRunDir::UiRunDir(const std::string& sysLines) {
    installCertificates();
    write("config.ini", "[sys]\nlocal_ip=127.0.0.1\n" + sysLines);
    switchModulesOff();
}

QString UiRunDir::qpath(const std::string& relative) const {
    return QString::fromStdString(relative.empty() ? path() : path() + "/" + relative);
}

Program::Program(const UiRunDir& dir, MainWindow::Options options) {
    app = std::make_unique<Application>(dir.path(), status);
    window = std::make_unique<MainWindow>(*app, status, std::move(options));
}

Program::~Program() {
    window.reset();  // runs the shutdown when it has not run yet
    app.reset();
}

bool Program::startAndWait() {
    window->show();
    QLineEdit* https = window->field(StatusField::Https);
    QElapsedTimer clock;
    clock.start();
    while (https->text().isEmpty() && clock.elapsed() < 20000)
        QTest::qWait(10);
    return !https->text().isEmpty();
}

void answerNextBox(QMessageBox::StandardButton answer, QString* seen) {
    auto* poll = new QTimer;
    auto* clock = new QElapsedTimer;
    clock->start();
    QObject::connect(poll, &QTimer::timeout, [poll, clock, answer, seen] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (box == nullptr && clock->elapsed() < 5000)
            return;
        poll->stop();
        poll->deleteLater();
        delete clock;
        if (box == nullptr)
            return;
        if (seen != nullptr)
            *seen = box->windowTitle() + "|" + box->text();
        box->button(answer)->click();
    });
    poll->start(10);
}

UrlRecorder::UrlRecorder() {
    QDesktopServices::setUrlHandler("file", this, "open");
}

UrlRecorder::~UrlRecorder() {
    QDesktopServices::unsetUrlHandler("file");
}

void press(QWidget* widget) {
    QTest::mousePress(widget, Qt::LeftButton, Qt::NoModifier, QPoint(4, 4));
}

}  // namespace kestrum::uitest
