// The two commands that make caller keys easy (neither starts the server):
//
//   kestrum --new-key NAME   a fresh key for the caller NAME and the callers.ini section that names it
//   kestrum --hash-key       the key_sha256 of a key read from standard input
//
// Keys go to the caller and nowhere else: kestrum keeps only their SHA-256 hashes.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

namespace kestrum {

// What --new-key prints for caller `name` and the fresh `key`.
std::string newKeyText(std::string_view name, std::string_view key);

// The key in what --hash-key read: `input` without one trailing line break (LF or CR LF). False with `error`
// set (plain words, never the input itself) when that is not one key.
bool keyFromInput(std::string_view input, std::string& key, std::string& error);

// The commands themselves: print to `out`, complain to `err`, return the exit status (0 done, 1 failed, 2
// wrong name).
int runNewKey(const std::string& name, std::FILE* out, std::FILE* err);
int runHashKey(std::FILE* in, std::FILE* out, std::FILE* err);

}  // namespace kestrum
