// Starting programs for "run" tasks, without a shell and without waiting for them.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace kestrum {

// Splits `text` into words the way a POSIX shell does, without any expansion: blanks separate words; '...'
// keeps everything literally; "..." keeps everything but a backslash before $ ` " \ or a line break; outside
// quotes a backslash keeps the next character. False (and `words` unchanged) for an unterminated quote.
bool splitShellWords(std::string_view text, std::vector<std::string>& words);

// Starts `path` (UTF-8) with the words of `params` as arguments when it is an executable file, otherwise
// hands `path` to xdg-open. The program runs in the current working directory, is not waited for, and is
// never left as a zombie: it is started from a short-lived intermediate child that is reaped at once. Returns
// whether a program was started (for xdg-open: whether xdg-open itself could be started). Any thread.
bool startProgram(const std::string& path, std::string_view params);

}  // namespace kestrum
