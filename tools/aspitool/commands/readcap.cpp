// aspitool readcap ADDR: READ CAPACITY(10), the number and size of the
// medium's blocks.
#include "commands.h"

#include "../output.h"

#include <cstdio>

namespace aspitool {

int RunReadCapacity(Session& session) {
    Json document = Json::Object();
    std::string error;
    if (!ExpectOperands(session, 1, "readcap ADDR", error)) {
        return Fail(session, document, ExitUsage, error);
    }
    Unit unit;
    const int opened = OpenUnit(session, session.options.operands[0], true, unit, error);
    if (opened != ExitOk) return Fail(session, document, opened, error);

    Capacity capacity;
    ExecResult result;
    const bool read = ReadCapacity(session, unit, capacity, result, error);
    document = OutcomeDocument(unit, result);
    if (!read) return Fail(session, document, ExitFailure, error);
    const uint64_t bytes = capacity.blocks * capacity.blockSize;
    document.Set("last_lba", Json::Number(capacity.lastLba));
    document.Set("blocks", Json::Number(static_cast<int64_t>(capacity.blocks)));
    document.Set("block_size", Json::Number(capacity.blockSize));
    document.Set("bytes", Json::Number(static_cast<int64_t>(bytes)));

    char text[256];
    std::snprintf(text, sizeof text,
                  "unit:         %s\nlast LBA:     %lu\nblocks:       %llu\nblock size:   %lu\n"
                  "capacity:     %llu bytes (%.1f MiB)\n",
                  FormatAddress(unit.address).c_str(), static_cast<unsigned long>(capacity.lastLba),
                  static_cast<unsigned long long>(capacity.blocks),
                  static_cast<unsigned long>(capacity.blockSize),
                  static_cast<unsigned long long>(bytes), static_cast<double>(bytes) / 1048576.0);
    Show(session, document, text + ExecResultText(result, 0));
    return ExitOk;
}

}  // namespace aspitool
