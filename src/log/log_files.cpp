#include "log/log_files.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <regex>
#include <tuple>

namespace kestrum {
namespace {

// A date-time text as the writer renders it: year, month and day, then hour, minute and second as far as
// they are not 0.
constexpr const char* kDateTime = "[0-9]+年[0-9]+月[0-9]+日([0-9]+时([0-9]+分([0-9]+秒)?)?)?";

}  // namespace

bool isClosedLogName(std::string_view fileName) {
    static const std::regex pattern(std::string("^.+-") + kDateTime + "(-[0-9]+)?(\\.[^.]*)?$");
    return std::regex_match(fileName.begin(), fileName.end(), pattern);
}

std::vector<std::string> pruneClosedLogs(const std::string& folder, int keep) {
    std::vector<std::string> deleted;
    if (keep <= 0)
        return deleted;
    struct Closed {
        int64_t modified;
        std::string name;
        std::string path;
    };
    std::vector<Closed> closed;
    std::error_code ec;
    for (std::filesystem::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (!isClosedLogName(name))
            continue;
        struct stat st {};
        const std::string path = it->path().string();
        if (::lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
            continue;
        closed.push_back(
            {static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec, name, path});
    }
    if (closed.size() <= static_cast<size_t>(keep))
        return deleted;
    std::sort(closed.begin(), closed.end(), [](const Closed& a, const Closed& b) {
        return std::tie(a.modified, a.name) < std::tie(b.modified, b.name);
    });
    for (size_t i = 0; i + static_cast<size_t>(keep) < closed.size(); ++i) {
        if (::unlink(closed[i].path.c_str()) == 0)
            deleted.push_back(closed[i].path);
    }
    return deleted;
}

}  // namespace kestrum
