// The status interface of the desktop window. Start-up, the task registry and any other thread write status
// fields through it; every write becomes a queued call on the GUI thread, so no widget is touched elsewhere.
#pragma once

#include <mutex>

#include "app/status_view.h"

namespace kestrum {

class MainWindow;

class WindowStatus : public StatusView {
  public:
    // GUI thread. The window attaches itself when built and detaches when destroyed; writes while no window
    // is attached are dropped.
    void attach(MainWindow* window);
    void detach();

    // Any thread.
    void setText(StatusField field, const std::string& text) override;
    void setMarkVisible(ModuleMark mark, bool visible) override;

  private:
    std::mutex lock_;
    MainWindow* window_ = nullptr;
};

}  // namespace kestrum
