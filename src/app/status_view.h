// What the start-up and the running program show the user: the desktop window and the headless console both
// implement this. Calls may come from any thread.
#pragma once

#include <string>

namespace kestrum {

enum class StatusField { Http, Https, Heartbeat, MysqlPool, MysqlUrl, RedisUrl, TaskCount };
enum class ModuleMark { Mysql, Redis, Cron };

class StatusView {
  public:
    virtual ~StatusView() = default;
    // `text` is internal-encoding text.
    virtual void setText(StatusField field, const std::string& text) = 0;
    // The "×" mark that says a module is off.
    virtual void setMarkVisible(ModuleMark mark, bool visible) = 0;
};

// Prints every status change to standard output as "<field>: <text>" in UTF-8.
class ConsoleStatus : public StatusView {
  public:
    void setText(StatusField field, const std::string& text) override;
    void setMarkVisible(ModuleMark mark, bool visible) override;
};

}  // namespace kestrum
