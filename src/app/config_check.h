// The configuration check (`kestrum --check`): reads every configuration and task file the way a start reads
// them and lists what a start would trip over, without starting anything or writing a log.
//
// Files are read with the program's own INI reader, task times with the scheduler's expression search and TLS
// files with the HTTP component's context creation, so the check and a start never disagree. Keys that the
// program does not know are reported too: a misspelt key silently takes its default at a start. The table of
// known keys is kKnownKeys in config_check.cpp.
#pragma once

#include <string>
#include <vector>

namespace kestrum {

struct ConfigProblem {
    std::string file;     // relative to the run directory; TLS files as the program opens them
    std::string section;  // empty when the problem is about the whole file
    std::string key;      // empty when the problem is about the whole section
    std::string value;    // UTF-8; empty for a key without value or when no key is concerned
    std::string what;     // plain words
};

// Every problem found in the run directory `runDir`, in the order a start meets them: config.ini, the module
// files (MySQL, Redis, scheduler), the task files, callers.ini (when there is one), the TLS files. A module
// whose [sys] on is not "1" is not read beyond that key, as at a start.
std::vector<ConfigProblem> checkConfiguration(const std::string& runDir);

// "FILE: [SECTION] KEY=VALUE: WHAT" (the parts that are empty left out).
std::string problemLine(const ConfigProblem& problem);

// Prints one line per problem and a closing line to standard output; returns the exit status: 0 when there is
// no problem, 1 otherwise.
int runConfigCheck(const std::string& runDir);

}  // namespace kestrum
