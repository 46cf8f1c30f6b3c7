// TaskRegistry and its shared state: the task table in the JsonStore, the routine table, task files.
#include "scheduler/task_registry.h"

#include <dirent.h>
#include <fnmatch.h>
#include <sys/stat.h>

#include "log/log_writer.h"
#include "scheduler/cron.h"
#include "scheduler/registry_state.h"
#include "util/encoding.h"
#include "util/ini.h"
#include "util/recovery_point.h"
#include "util/text.h"

namespace kestrum {
namespace {

constexpr std::string_view kTasksFolder = "/mod/crontab/tasks";

bool isRegularFile(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// The run limit of a task file: [sys] times_maxdo, but only when [sys] maxdo is not empty (0: no limit).
int32_t fileRunLimit(const IniFile& ini) {
    if (ini.get("sys", "maxdo").empty())
        return 0;
    return readCronNumber(ini.get("sys", "times_maxdo"));
}

// The file's name without its extension (after the last dot), as on disk.
std::string fileStem(const std::string& path) {
    size_t slash = path.rfind('/');
    std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    size_t dot = name.rfind('.');
    return dot == std::string::npos ? name : name.substr(0, dot);
}

}  // namespace

std::string taskPath(std::string_view name, std::string_view member) {
    // Walk the text character by character: a trail byte of a two-byte character may look like '\', '[' or
    // ']' and must not be escaped.
    std::string path;
    path.reserve(name.size() + member.size() + 4);
    for (size_t i = 0; i < name.size();) {
        unsigned char c = static_cast<unsigned char>(name[i]);
        if (c >= 0x81 && c <= 0xFE && i + 1 < name.size()) {
            unsigned char t = static_cast<unsigned char>(name[i + 1]);
            size_t width = (t >= 0x30 && t <= 0x39) ? 4 : 2;
            width = std::min(width, name.size() - i);
            path.append(name.substr(i, width));
            i += width;
            continue;
        }
        if (c == '.' || c == '[' || c == ']' || c == '\\')
            path.push_back('\\');
        path.push_back(static_cast<char>(c));
        ++i;
    }
    path.push_back('.');
    path.append(member);
    return path;
}

bool RegistryState::registerTask(std::string_view expression, std::string_view name, int32_t callbackId,
                                 TaskCallback callback, int32_t maxCallCount) {
    std::string crontab = trimText(expression) + " " + trimText(name);
    std::vector<std::string> moments;
    CronFields fields;
    nextRunTimes(crontab, 1, moments, fields);
    // An empty key would address the registry's root itself.
    if (moments.empty() || fields.name.empty())
        return false;
    const std::string& key = fields.name;

    GuardedLock lock(lock_);
    if (!store_.hasRoot())
        store_.load("{}");
    int32_t oldId = store_.getInt(taskPath(key, "callback"));
    if (oldId > kFileTaskCallback)
        callbacks_.erase(oldId);
    if (callbackId != kFileTaskCallback) {
        callbackId = nextCallbackId_++;
        callbacks_[callbackId] = std::move(callback);
    }
    store_.setText(taskPath(key, "crontab"), crontab);
    store_.setInt(taskPath(key, "callback"), callbackId);
    store_.setInt(taskPath(key, "max_call_count"), maxCallCount);
    store_.setInt(taskPath(key, "call_count"), 0);
    if (store_.getInt(taskPath(key, "status")) != kTaskRunning) {
        store_.setInt(taskPath(key, "status"), kTaskRegistered);
        store_.setInt(taskPath(key, "handle"), 0);
    }
    store_.setText(taskPath(key, "time.second"), fields.second);
    store_.setText(taskPath(key, "time.min"), fields.minute);
    store_.setText(taskPath(key, "time.hours"), fields.hour);
    store_.setText(taskPath(key, "time.days"), fields.day);
    store_.setText(taskPath(key, "time.month"), fields.month);
    store_.setText(taskPath(key, "time.year"), fields.year);
    store_.setText(taskPath(key, "time.week"), fields.week);
    return true;
}

bool RegistryState::removeTask(std::string_view name) {
    bool removed = false;
    {
        GuardedLock lock(lock_);
        if (!store_.hasRoot())
            return false;
        int32_t id = store_.getInt(taskPath(name, "callback"));
        if (id > kFileTaskCallback)
            callbacks_.erase(id);
        removed = store_.removeMember("", name);
    }
    if (removed) {
        std::function<void()> listener;
        {
            std::lock_guard lock(hooksLock_);
            listener = removalListener_;
        }
        if (listener)
            listener();
    }
    return removed;
}

std::vector<std::string> RegistryState::names() const {
    std::vector<std::string> names;
    GuardedLock lock(lock_);
    store_.memberNames("", names);
    return names;
}

bool RegistryState::hasTask(std::string_view name) const {
    if (name.empty())
        return false;
    GuardedLock lock(lock_);
    return store_.hasRoot() && store_.exists(taskPath(name, "crontab"));
}

std::string RegistryState::getText(std::string_view path) const {
    GuardedLock lock(lock_);
    return store_.getText(path);
}

int32_t RegistryState::getInt(std::string_view path) const {
    GuardedLock lock(lock_);
    return store_.getInt(path);
}

int32_t RegistryState::memberInt(std::string_view name, std::string_view member) const {
    return getInt(taskPath(name, member));
}

std::string RegistryState::memberText(std::string_view name, std::string_view member) const {
    return getText(taskPath(name, member));
}

bool RegistryState::setMemberIfPresent(std::string_view name, std::string_view member, int32_t value) {
    GuardedLock lock(lock_);
    if (!store_.hasRoot() || !store_.exists(taskPath(name, "crontab")))
        return false;
    return store_.setInt(taskPath(name, member), value);
}

bool RegistryState::setMemberIfPresent(std::string_view name, std::string_view member,
                                       std::string_view value) {
    GuardedLock lock(lock_);
    if (!store_.hasRoot() || !store_.exists(taskPath(name, "crontab")))
        return false;
    return store_.setText(taskPath(name, member), value);
}

bool RegistryState::markStarted(std::string_view name, int32_t handle) {
    GuardedLock lock(lock_);
    if (!store_.hasRoot() || !store_.exists(taskPath(name, "crontab")))
        return false;
    store_.setInt(taskPath(name, "status"), kTaskRunning);
    store_.setInt(taskPath(name, "handle"), handle);
    return true;
}

bool RegistryState::isRunningAs(std::string_view name, int32_t handle) const {
    GuardedLock lock(lock_);
    return store_.hasRoot() && store_.exists(taskPath(name, "crontab")) &&
           store_.getInt(taskPath(name, "status")) == kTaskRunning &&
           store_.getInt(taskPath(name, "handle")) == handle;
}

void RegistryState::endTask(std::string_view name, int32_t handle) {
    GuardedLock lock(lock_);
    if (!store_.hasRoot() || !store_.exists(taskPath(name, "crontab")))
        return;
    if (store_.getInt(taskPath(name, "handle")) != handle)
        return;
    store_.setInt(taskPath(name, "status"), kTaskEnded);
}

int32_t RegistryState::incrementCallCount(std::string_view name, int32_t handle) {
    GuardedLock lock(lock_);
    if (!store_.hasRoot() || !store_.exists(taskPath(name, "crontab")))
        return -1;
    if (store_.getInt(taskPath(name, "handle")) != handle)
        return -1;
    std::string path = taskPath(name, "call_count");
    int32_t count = store_.getInt(path);
    if (count < INT32_MAX)
        ++count;
    store_.setInt(path, count);
    return count;
}

TaskCallback RegistryState::callbackOf(std::string_view name) const {
    GuardedLock lock(lock_);
    int32_t id = store_.getInt(taskPath(name, "callback"));
    if (id == kFileTaskCallback) {
        // Task threads hold the state alive while they call, so a plain pointer is enough.
        RegistryState* self = const_cast<RegistryState*>(this);
        return [self](const std::string& task, const std::string& stamp, int64_t handle) {
            return self->runTaskFile(task, stamp, handle);
        };
    }
    auto it = callbacks_.find(id);
    return it == callbacks_.end() ? TaskCallback{} : it->second;
}

std::string RegistryState::toText() const {
    GuardedLock lock(lock_);
    return store_.toText();
}

int RegistryState::count() const {
    std::vector<std::string> all = names();
    return static_cast<int>(all.size());
}

std::string RegistryState::taskFilePath(std::string_view name) const {
    return runDir_ + std::string(kTasksFolder) + "/" + gbkToUtf8(name) + ".ini";
}

void RegistryState::setSqlRunner(SqlRunner runner) {
    std::lock_guard lock(hooksLock_);
    sqlRunner_ = std::move(runner);
}

void RegistryState::setEvents(TaskEvents events) {
    std::lock_guard lock(hooksLock_);
    events_ = std::move(events);
}

TaskEvents RegistryState::events() {
    std::lock_guard lock(hooksLock_);
    return events_;
}

bool RegistryState::skipsOverlap(const std::string& name) {
    // The file is read only when it matters: while a run is still going.
    if (runs_.inFlight(name) == 0)
        return false;
    const std::string path = taskFilePath(name);
    if (name.find('/') != std::string::npos || !isRegularFile(path))
        return false;
    return IniFile::load(path).get("info", "overlap") == "skip";
}

void RegistryState::setCountListener(std::function<void(int)> listener) {
    std::lock_guard lock(hooksLock_);
    countListener_ = std::move(listener);
}

void RegistryState::setRemovalListener(std::function<void()> listener) {
    std::lock_guard lock(hooksLock_);
    removalListener_ = std::move(listener);
}

void RegistryState::notifyCount() {
    std::function<void(int)> listener;
    {
        std::lock_guard lock(hooksLock_);
        listener = countListener_;
    }
    if (listener)
        listener(count());
}

TaskRegistry::TaskRegistry(std::string runDir) : state_(std::make_shared<RegistryState>(std::move(runDir))) {}

TaskRegistry::~TaskRegistry() {
    // Programs still running are left to themselves; their watchers end now.
    state_->runs().stop();
}

bool TaskRegistry::registerTask(std::string_view expression, std::string_view name, TaskCallback callback,
                                int32_t maxCallCount) {
    if (!callback)
        return false;
    return state_->registerTask(expression, name, 0, std::move(callback), maxCallCount);
}

void TaskRegistry::loadTaskFiles() {
    for (const std::string& path : listFiles(state_->runDir() + std::string(kTasksFolder), "*.ini")) {
        IniFile ini = IniFile::load(path);
        const std::string name = utf8ToGbk(fileStem(path));
        const std::string time = ini.get("sys", "time");
        const std::string head = std::string("load task") + kFullWidthColon + "name(" + name + ")";
        if (time.empty()) {
            logLine("crontab", head + ",skipped(time empty).");
            continue;
        }
        const int32_t limit = fileRunLimit(ini);
        if (!state_->registerTask(time, name, kFileTaskCallback, {}, limit)) {
            logLine("crontab", head + ",skipped(time never fires)" + ",time(" + time + ").");
            continue;
        }
        logLine("crontab", head + ",time(" + trimText(time) + ")" +
                               (limit != 0 ? ",maxdo(" + std::to_string(limit) + ")" : std::string()) + ".");
    }
    state_->notifyCount();
}

bool TaskRegistry::addTaskFile(std::string_view name) {
    // A name is a file name, never a path: a '/' would reach outside the tasks folder.
    if (name.empty() || name.find('/') != std::string_view::npos ||
        name.find('\0') != std::string_view::npos) {
        return false;
    }
    std::string path = state_->taskFilePath(name);
    if (!isRegularFile(path))
        return false;
    logLine("crontab", std::string("add task") + kFullWidthColon + std::string(name));
    IniFile ini = IniFile::load(path);
    state_->registerTask(ini.get("sys", "time"), name, kFileTaskCallback, {}, fileRunLimit(ini));
    state_->notifyCount();
    return true;
}

bool TaskRegistry::deleteTask(std::string_view name) {
    bool removed = false;
    if (!name.empty()) {
        std::string key = trimText(name);
        removed = !key.empty() && state_->removeTask(key);
    }
    logLine("crontab", std::string("del task") + kFullWidthColon + std::string(name));
    state_->notifyCount();
    return removed;
}

bool TaskRegistry::registerTaskFile(std::string_view name) {
    if (name.empty() || name.find('/') != std::string_view::npos || name.find('\0') != std::string_view::npos)
        return false;
    const std::string path = state_->taskFilePath(name);
    if (!isRegularFile(path))
        return false;
    IniFile ini = IniFile::load(path);
    const std::string time = ini.get("sys", "time");
    const bool registered =
        !time.empty() && state_->registerTask(time, name, kFileTaskCallback, {}, fileRunLimit(ini));
    state_->notifyCount();
    return registered;
}

bool TaskRegistry::removeTask(std::string_view name) {
    const std::string key = trimText(name);
    const bool removed = !key.empty() && state_->removeTask(key);
    state_->notifyCount();
    return removed;
}

int TaskRegistry::taskCount() const {
    return state_->count();
}

std::vector<std::string> TaskRegistry::taskNames() const {
    return state_->names();
}

bool TaskRegistry::hasTask(std::string_view name) const {
    return state_->hasTask(name);
}

std::string TaskRegistry::getText(std::string_view path) const {
    return state_->getText(path);
}

int32_t TaskRegistry::getInt(std::string_view path) const {
    return state_->getInt(path);
}

std::string TaskRegistry::toText() const {
    return state_->toText();
}

void TaskRegistry::setTaskCountListener(std::function<void(int)> listener) {
    state_->setCountListener(std::move(listener));
}

void TaskRegistry::setSqlRunner(SqlRunner runner) {
    state_->setSqlRunner(std::move(runner));
}

int TaskRegistry::runTaskFile(const std::string& name, const std::string& timestamp, int64_t handle) {
    return state_->runTaskFile(name, timestamp, handle);
}

const std::string& TaskRegistry::runDir() const {
    return state_->runDir();
}

std::vector<std::string> listFiles(const std::string& folder, std::string_view pattern) {
    std::vector<std::string> paths;
    std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(folder.c_str()), ::closedir);
    if (!dir)
        return paths;
    std::string prefix = folder;
    if (prefix.empty() || prefix.back() != '/')
        prefix.push_back('/');
    std::string wildcard(pattern);
    while (dirent* entry = ::readdir(dir.get())) {
        std::string name = entry->d_name;
        if (name == "." || name == "..")
            continue;
        if (::fnmatch(wildcard.c_str(), name.c_str(), FNM_PERIOD) != 0)
            continue;
        std::string path = prefix + name;
        if (isRegularFile(path))
            paths.push_back(std::move(path));
    }
    return paths;
}

}  // namespace kestrum
