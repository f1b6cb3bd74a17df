#include "check_address.h"

#include "guarded_run.h"

#include <memory>

namespace aspitool {

int CheckAddressNamesUnit(const Session& session, const std::string& operand, uint32_t limitMs,
                          std::string& error) {
    // Shared with the thread, which may outlive this call when it hangs.
    struct Shared {
        int code = ExitOk;
        std::string error;
    };
    auto shared = std::make_shared<Shared>();
    std::string fault;
    const GuardedEnd end = RunGuarded(
        [&session, operand, shared] {
            Unit unit;
            shared->code = OpenUnit(session, operand, true, unit, shared->error);
        },
        limitMs, fault);
    if (end != GuardedEnd::Finished || shared->code != ExitUsage) return ExitOk;
    error = shared->error;
    return ExitUsage;
}

}  // namespace aspitool
