#include "http/door_rules.h"

namespace kestrum {

namespace {

AddressSet addressSet(std::string_view text, const std::string& localAddress) {
    AddressList list = parseAddressList(text);
    if (list.localhost) {
        if (std::optional<Ipv4Address> local = parseIpv4(localAddress))
            list.set.add({*local, *local});
    }
    return std::move(list.set);
}

}  // namespace

std::shared_ptr<const DoorRules> makeDoorRules(std::string_view whitelist, std::string_view trustedProxies,
                                               const std::string& localAddress,
                                               std::shared_ptr<const CallerRules> callers,
                                               CallerCounts* counts) {
    auto rules = std::make_shared<DoorRules>();
    rules->whitelist = addressSet(whitelist, localAddress);
    rules->trustedProxies = addressSet(trustedProxies, localAddress);
    if (callers) {
        for (const Caller& caller : callers->callers()) {
            auto limits = std::make_unique<CallerLimits>();
            if (caller.rate > 0)
                limits->bucket = std::make_unique<TokenBucket>(caller.rate, caller.burst);
            if (counts != nullptr)
                limits->counts = counts->counters(caller.name);
            rules->limits.push_back(std::move(limits));
        }
    }
    if (counts != nullptr)
        counts->setInUse(callers != nullptr);
    rules->callers = std::move(callers);
    return rules;
}

Door::Door(std::shared_ptr<const DoorRules> rules)
    : rules_(rules ? std::move(rules) : std::make_shared<const DoorRules>()) {}

void Door::replace(std::shared_ptr<const DoorRules> rules) {
    if (!rules)
        rules = std::make_shared<const DoorRules>();
    std::lock_guard lock(mutex_);
    rules_ = std::move(rules);
    generation_.fetch_add(1, std::memory_order_acq_rel);
}

std::shared_ptr<const DoorRules> Door::current() const {
    std::lock_guard lock(mutex_);
    return rules_;
}

}  // namespace kestrum
