#include "app/task_file_watch.h"

#include <filesystem>
#include <fstream>
#include <iterator>

#include "log/log_writer.h"
#include "scheduler/task_registry.h"
#include "util/encoding.h"
#include "util/text.h"

namespace kestrum {

TaskFileWatch::TaskFileWatch(TaskRegistry& registry) : registry_(registry) {}

std::map<std::string, std::string> TaskFileWatch::scan() const {
    std::map<std::string, std::string> files;
    for (const std::string& path : listFiles(registry_.runDir() + "/mod/crontab/tasks", "*.ini")) {
        std::ifstream in(path, std::ios::binary);
        if (!in)
            continue;
        std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        files.emplace(utf8ToGbk(std::filesystem::path(path).stem().string()), std::move(bytes));
    }
    return files;
}

void TaskFileWatch::remember() {
    files_ = scan();
}

void TaskFileWatch::reload() {
    std::map<std::string, std::string> now = scan();
    auto line = [](const char* what, const std::string& name, const char* outcome) {
        logLine("crontab",
                std::string("task file ") + what + kFullWidthColon + "name(" + name + ")" + outcome + ".");
    };
    for (const auto& [name, bytes] : now) {
        auto before = files_.find(name);
        if (before == files_.end()) {
            line("added", name,
                 registry_.registerTaskFile(name) ? "" : ",not registered(no time, or it never fires)");
        } else if (before->second != bytes) {
            if (registry_.registerTaskFile(name)) {
                line("changed", name, "");
            } else {
                registry_.removeTask(name);
                line("changed", name, ",removed(no time, or it never fires)");
            }
        }
    }
    for (const auto& [name, bytes] : files_) {
        if (now.find(name) == now.end()) {
            registry_.removeTask(name);
            line("removed", name, "");
        }
    }
    files_ = std::move(now);
}

}  // namespace kestrum
