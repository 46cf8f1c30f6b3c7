#include "ui/tray_holder.h"

#include <QSystemTrayIcon>

#include "ui/artwork.h"

namespace kestrum {

TrayHolder::TrayHolder(bool available, QObject* parent) : QObject(parent), available_(available) {}

TrayHolder::~TrayHolder() = default;

void TrayHolder::place() {
    if (icon_ == nullptr) {
        icon_ = new QSystemTrayIcon(programIcon(), this);
        ++created_;
        connect(icon_, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
            if (reason == QSystemTrayIcon::DoubleClick)
                emit restoreRequested();
        });
    }
    icon_->setToolTip("kestrum");
    if (available_)
        icon_->show();
}

}  // namespace kestrum
