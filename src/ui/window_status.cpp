#include "ui/window_status.h"

#include <QMetaObject>
#include <QString>

#include "ui/main_window.h"
#include "util/encoding.h"

namespace kestrum {

void WindowStatus::attach(MainWindow* window) {
    std::lock_guard lock(lock_);
    window_ = window;
}

void WindowStatus::detach() {
    std::lock_guard lock(lock_);
    window_ = nullptr;
}

// The window detaches (under the lock) before it is destroyed, and destroying it drops the calls still queued
// for it, so a queued call never reaches a window that is gone.
void WindowStatus::setText(StatusField field, const std::string& text) {
    const QString value = QString::fromUtf8(gbkToUtf8(text));
    std::lock_guard lock(lock_);
    if (window_ == nullptr)
        return;
    MainWindow* window = window_;
    QMetaObject::invokeMethod(
        window, [window, field, value] { window->showText(field, value); }, Qt::QueuedConnection);
}

void WindowStatus::setMarkVisible(ModuleMark mark, bool visible) {
    std::lock_guard lock(lock_);
    if (window_ == nullptr)
        return;
    MainWindow* window = window_;
    QMetaObject::invokeMethod(
        window, [window, mark, visible] { window->showMark(mark, visible); }, Qt::QueuedConnection);
}

}  // namespace kestrum
