#include "http/request_context.h"

#include "http/callers.h"

namespace kestrum {

std::string callerLogSuffix(const RequestContext& request) {
    if (request.caller == nullptr)
        return {};
    return ",caller(" + request.caller->name + ")";
}

}  // namespace kestrum
