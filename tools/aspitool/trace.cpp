#include "trace.h"

#include "output.h"
#include "sense.h"

#include <cstdio>

namespace aspitool {

void TraceText(const std::string& text) {
    std::fflush(stdout);
    std::fprintf(stderr, "aspitool: %s\n", text.c_str());
}

void TraceCommand(const ExecRequest& request) {
    const char* direction = request.direction == DataDirection::In    ? "data in"
                            : request.direction == DataDirection::Out ? "data out"
                                                                      : "no data";
    TraceText("> " + FormatAddress(request.unit) + " cdb " +
              HexSpaced(request.cdb, request.cdbLength) + " (" + direction + ", " +
              std::to_string(request.length) + " bytes)");
}

void TraceResult(const ExecResult& result) {
    TraceText("< status " + NamedValue(AspiStatusName(result.status), result.status) +
              ", host adapter " + NamedValue(HostAdapterStatusName(result.haStat), result.haStat) +
              ", target " + NamedValue(TargetStatusName(result.targStat), result.targStat));
    if (!result.sense.empty()) {
        TraceText("< sense " + HexSpaced(result.sense.data(), result.sense.size()) + ": " +
                  DescribeSense(DecodeSense(result.sense.data(), result.sense.size())));
    }
    // Without a count from the adapter, how much data moved is unknown:
    // saying so keeps a reader from taking the requested length for it.
    TraceText(result.hasResidual ? "< residual " + std::to_string(result.residual) + " bytes"
                                 : std::string("< residual not reported by the host adapter"));
}

}  // namespace aspitool
