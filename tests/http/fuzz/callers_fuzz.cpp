// Feeds arbitrary bytes to the callers.ini loader as a file's text, then asks the loaded rules about keys,
// addresses, commands and key patterns cut from the input. Checks that a file is either loaded without a
// problem or refused with at least one, that a problem line is one line, that the numbers of a loaded caller
// agree with each other, and that every stored key hash finds its own caller.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <string>
#include <string_view>

#include "http/callers.h"
#include "util/ini.h"

namespace {

void check(bool condition) {
    if (!condition)
        std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view input(reinterpret_cast<const char*>(data), size);
    // Optional probe after the last 0x00 byte: what the loaded rules are asked about.
    std::string_view text = input;
    std::string_view probe = "app1:1";
    if (size_t cut = input.rfind('\0'); cut != std::string_view::npos) {
        text = input.substr(0, cut);
        probe = input.substr(cut + 1);
    }
    using kestrum::CallerRules;
    CallerRules::LoadResult result = CallerRules::parse(kestrum::IniFile::parse(text), "127.0.0.1");
    check((result.status == CallerRules::LoadStatus::kLoaded) == (result.rules != nullptr));
    check((result.status == CallerRules::LoadStatus::kFailed) == !result.problems.empty());
    const std::string line = result.firstProblemLine("callers.ini");
    check(line.find('\n') == std::string::npos && line.find('\r') == std::string::npos);
    if (!result.rules)
        return 0;

    const CallerRules& rules = *result.rules;
    for (const kestrum::Caller& caller : rules.callers()) {
        check(kestrum::isCallerName(caller.name));
        check(rules.findByName(caller.name) == &caller);
        check(caller.rate >= 0 && caller.burst >= 0 && caller.maxInFlight >= 0);
        check((caller.rate > 0) == (caller.burst > 0));
        check(!caller.rateShared || caller.rate > 0);
        for (const kestrum::Sha256& hash : caller.keyHashes)
            check(rules.findByKeyHash(hash) == &caller);
        for (const kestrum::Sha256& hash : caller.certHashes)
            check(rules.findByCertificate(hash) == &caller);
        (void)caller.allowsRedisKey(probe);
        (void)caller.allowsRedisCommand(probe, probe);
        (void)caller.comesFrom(static_cast<kestrum::Ipv4Address>(std::hash<std::string_view>()(probe)));
    }
    (void)rules.findByKey(probe);
    return 0;
}
