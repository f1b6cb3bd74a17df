// aspitool read: blocks from a unit into a file or onto the screen, in
// transfers no larger than the adapter takes; --all reads the whole medium.
#include "commands.h"

#include "../options.h"
#include "../output.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

namespace aspitool {
namespace {

// Reads shown on the screen are kept in memory; larger ones need a file.
const uint64_t MaxScreenBytes = 16u * 1024u * 1024u;

}  // namespace

int RunRead(Session& session) {
    const Options& options = session.options;
    Json document = Json::Object();
    std::string error;
    if (options.all) {
        if (!ExpectOperands(session, 1, "read ADDR --all -o FILE", error)) {
            return Fail(session, document, ExitUsage, error);
        }
        if (options.outputFile.empty()) {
            return Fail(session, document, ExitUsage,
                        "read --all needs -o FILE: a whole medium is not shown on the screen");
        }
    } else if (!ExpectOperands(session, 3, "read ADDR LBA COUNT [-o FILE]", error)) {
        return Fail(session, document, ExitUsage, error);
    }
    uint64_t lba = 0;
    uint64_t count = 0;
    if (!options.all) {
        if (!ParseNumber(options.operands[1], 0xFFFFFFFFu, lba)) {
            return Fail(session, document, ExitUsage,
                        "LBA '" + options.operands[1] +
                            "' is not a number from 0 to 4294967295 (0xFFFFFFFF)");
        }
        if (!ParseNumber(options.operands[2], 0xFFFFFFFFu, count) || count == 0) {
            return Fail(session, document, ExitUsage,
                        "COUNT '" + options.operands[2] +
                            "' is not a number from 1 to 4294967295 (0xFFFFFFFF)");
        }
    }
    Unit unit;
    const int opened = OpenUnit(session, options.operands[0], true, unit, error);
    if (opened != ExitOk) return Fail(session, document, opened, error);
    const std::string notBlocks = NotBlockDeviceError(unit, "read");
    if (!notBlocks.empty()) return Fail(session, document, ExitFailure, notBlocks);
    document.Set("unit", Json::Text(FormatAddress(unit.address)));

    Capacity capacity;
    ExecResult result;
    if (!ReadCapacity(session, unit, capacity, result, error)) {
        return Fail(session, document, ExitFailure, error);
    }
    if (options.all) count = capacity.blocks;
    const std::string outside = BlockRangeError(unit, capacity, lba, count);
    if (!outside.empty()) return Fail(session, document, ExitFailure, outside);
    const uint64_t totalBytes = count * capacity.blockSize;
    if (options.outputFile.empty() && totalBytes > MaxScreenBytes) {
        return Fail(session, document, ExitUsage,
                    "that is " + std::to_string(totalBytes) + " bytes; give -o FILE to read them");
    }
    uint32_t perTransfer = 0;
    if (!BlocksPerTransfer(unit, capacity.blockSize, perTransfer, error)) {
        return Fail(session, document, ExitFailure, error);
    }
    AlignedBuffer buffer;
    if (!buffer.Allocate(static_cast<size_t>(perTransfer) * capacity.blockSize,
                         unit.adapter.alignmentMask)) {
        return Fail(session, document, ExitFailure, "out of memory");
    }
    std::FILE* file = nullptr;
    if (!options.outputFile.empty()) {
        file = std::fopen(options.outputFile.c_str(), "wb");
        if (file == nullptr) {
            return Fail(session, document, ExitFailure,
                        "cannot write '" + options.outputFile + "': " + std::strerror(errno));
        }
    }

    std::vector<uint8_t> shown;
    uint64_t done = 0;
    const BlockTransfer transfer{0x28, "READ", lba, count, perTransfer, buffer.data()};
    std::string failure = TransferBlocks(
        session, unit, capacity, transfer, result, done,
        [&](uint8_t* data, uint32_t bytes, std::string& why) {
            if (file == nullptr) {
                shown.insert(shown.end(), data, data + bytes);
            } else if (std::fwrite(data, 1, bytes, file) != bytes) {
                why = "cannot write '" + options.outputFile + "': " + std::strerror(errno);
                return false;
            }
            return true;
        });
    if (file != nullptr && std::fclose(file) != 0 && failure.empty()) {
        failure = "cannot write '" + options.outputFile + "': " + std::strerror(errno);
    }

    const Json outcome = ExecResultJson(result);
    for (const char* key : {"status", "ha_stat", "targ_stat", "sense", "sense_decoded"}) {
        document.Set(key, outcome.Get(key));
    }
    document.Set("lba", Json::Number(static_cast<int64_t>(lba)));
    document.Set("count", Json::Number(static_cast<int64_t>(count)));
    document.Set("block_size", Json::Number(capacity.blockSize));
    document.Set("blocks_read", Json::Number(static_cast<int64_t>(done)));
    document.Set("bytes_read", Json::Number(static_cast<int64_t>(done * capacity.blockSize)));
    document.Set("complete", Json::Boolean(failure.empty()));
    if (file != nullptr) {
        document.Set("file", Json::Text(options.outputFile));
    } else {
        document.Set("data", Json::Text(HexCompact(shown.data(), shown.size())));
    }
    if (!failure.empty()) {
        std::string message = failure + "; " + std::to_string(done) + " of " +
                              Plural(count, "block") + " read";
        if (file != nullptr) message += ", so '" + options.outputFile + "' is incomplete";
        return Fail(session, document, ExitFailure, message);
    }

    std::string text;
    if (file != nullptr) {
        text = "read " + Plural(count, "block") + " of " +
               std::to_string(capacity.blockSize) + " bytes (" + std::to_string(totalBytes) +
               " bytes) from " + FormatAddress(unit.address) + " LBA " + std::to_string(lba) +
               " into " + options.outputFile + "\n";
    } else {
        text = FormatAddress(unit.address) + " LBA " + std::to_string(lba) + ", " +
               Plural(count, "block") + " of " +
               std::to_string(capacity.blockSize) + " bytes:\n" +
               HexDump(shown.data(), shown.size(), lba * capacity.blockSize);
    }
    Show(session, document, text);
    return ExitOk;
}

}  // namespace aspitool
