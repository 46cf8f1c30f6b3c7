// The notification-area icon of the main window: placed on the first minimize, kept until the program ends,
// never placed twice. A double-click asks for the window back; single and right clicks do nothing.
#pragma once

#include <QObject>

class QSystemTrayIcon;

namespace kestrum {

class TrayHolder : public QObject {
    Q_OBJECT
  public:
    // `available`: whether the desktop has a notification area. Without one the window must not hide itself
    // on minimize, since nothing could bring it back.
    TrayHolder(bool available, QObject* parent = nullptr);
    ~TrayHolder() override;

    bool available() const { return available_; }
    // Places the icon (tip "kestrum") the first time; later calls only refresh the tip and show it again.
    void place();
    // How many icons were ever created: 0 before the first minimize, then 1 for good.
    int iconsCreated() const { return created_; }
    QSystemTrayIcon* icon() const { return icon_; }

  signals:
    void restoreRequested();

  private:
    bool available_;
    int created_ = 0;
    QSystemTrayIcon* icon_ = nullptr;
};

}  // namespace kestrum
