// The closed log files of a folder: files that got their final name ("START-END.ext", END a dateTimeText,
// each part possibly with a "-N" of its own), as the log writer gives them when a file is closed. A file
// still being written (by this run or another instance sharing the folder) only has its start-time name
// and is never counted here.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace kestrum {

// Whether `fileName` (UTF-8, as on disk) is the final name of a closed log file.
bool isClosedLogName(std::string_view fileName);

// Deletes the oldest closed log files of `folder` (UTF-8) until at most `keep` remain; oldest by last
// modification (the moment the file was closed), then by name. keep <= 0 keeps all. Returns the paths
// deleted.
std::vector<std::string> pruneClosedLogs(const std::string& folder, int keep);

}  // namespace kestrum
