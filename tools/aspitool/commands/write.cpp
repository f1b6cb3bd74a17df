// aspitool write ADDR LBA -i FILE: a file of whole blocks onto a unit, in
// transfers no larger than the adapter takes.
#include "commands.h"

#include "../options.h"
#include "../output.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace aspitool {
namespace {

// Returns true with the size of the open `file` in `size`.
bool FileSize(std::FILE* file, uint64_t& size) {
    if (std::fseek(file, 0, SEEK_END) != 0) return false;
    const long end = std::ftell(file);
    if (end < 0 || std::fseek(file, 0, SEEK_SET) != 0) return false;
    size = static_cast<uint64_t>(end);
    return true;
}

// Returns nothing: extends `capacity` to the end of the open track of a
// CD/DVD writer's disc, when the drive reports one.
void WidenToOpenTrack(const Session& session, const Unit& unit, Capacity& capacity) {
    AlignedBuffer info;
    if (!info.Allocate(48, unit.adapter.alignmentMask)) return;
    const uint8_t cdb[10] = {0x52, 0x01, 0, 0, 0, 0xFF, 0, 0, 48, 0};
    ExecResult result;
    std::string error;
    if (!SendCdb(session, unit, cdb, sizeof cdb, DataDirection::In, info.data(), 48, result, error) ||
        result.status != SS_COMP || (info.data()[7] & 0x01) == 0) {
        return;
    }
    const uint8_t* bytes = info.data();
    const uint64_t next = (static_cast<uint64_t>(bytes[12]) << 24) | (bytes[13] << 16) |
                          (bytes[14] << 8) | bytes[15];
    const uint64_t free = (static_cast<uint64_t>(bytes[16]) << 24) | (bytes[17] << 16) |
                          (bytes[18] << 8) | bytes[19];
    if (next + free > capacity.blocks && next + free <= 0x100000000ull) {
        capacity.blocks = next + free;
        capacity.lastLba = static_cast<uint32_t>(capacity.blocks - 1);
    }
}

}  // namespace

int RunWrite(Session& session) {
    const Options& options = session.options;
    Json document = Json::Object();
    std::string error;
    if (!ExpectOperands(session, 2, "write ADDR LBA -i FILE", error)) {
        return Fail(session, document, ExitUsage, error);
    }
    if (options.inputFile.empty()) {
        return Fail(session, document, ExitUsage, "write needs -i FILE, the data to write");
    }
    uint64_t lba = 0;
    if (!ParseNumber(options.operands[1], 0xFFFFFFFFu, lba)) {
        return Fail(session, document, ExitUsage,
                    "LBA '" + options.operands[1] +
                        "' is not a number from 0 to 4294967295 (0xFFFFFFFF)");
    }
    Unit unit;
    const int opened = OpenUnit(session, options.operands[0], true, unit, error);
    if (opened != ExitOk) return Fail(session, document, opened, error);
    const std::string notBlocks = NotBlockDeviceError(unit, "write");
    if (!notBlocks.empty()) return Fail(session, document, ExitFailure, notBlocks);
    document.Set("unit", Json::Text(FormatAddress(unit.address)));

    std::FILE* file = std::fopen(options.inputFile.c_str(), "rb");
    if (file == nullptr) {
        return Fail(session, document, ExitFailure,
                    "cannot read '" + options.inputFile + "': " + std::strerror(errno));
    }
    uint64_t fileSize = 0;
    if (!FileSize(file, fileSize)) {
        std::fclose(file);
        return Fail(session, document, ExitFailure,
                    "cannot tell the size of '" + options.inputFile + "'");
    }
    if (fileSize == 0) {
        std::fclose(file);
        return Fail(session, document, ExitFailure,
                    "'" + options.inputFile + "' is empty: there is nothing to write");
    }
    Capacity capacity;
    ExecResult result;
    if (!ReadCapacity(session, unit, capacity, result, error)) {
        std::fclose(file);
        return Fail(session, document, ExitFailure, error);
    }
    // A CD/DVD writer's READ CAPACITY tells what is recorded; a write goes
    // to the open track, whose next writable address and free blocks its
    // track information gives.
    if (unit.deviceType == 5) WidenToOpenTrack(session, unit, capacity);
    if (fileSize % capacity.blockSize != 0) {
        std::fclose(file);
        return Fail(session, document, ExitFailure,
                    "'" + options.inputFile + "' holds " + std::to_string(fileSize) +
                        " bytes, not a whole number of blocks of " +
                        std::to_string(capacity.blockSize) + " bytes");
    }
    const uint64_t count = fileSize / capacity.blockSize;
    const std::string outside = BlockRangeError(unit, capacity, lba, count);
    if (!outside.empty()) {
        std::fclose(file);
        return Fail(session, document, ExitFailure, outside);
    }
    uint32_t perTransfer = 0;
    AlignedBuffer buffer;
    if (!BlocksPerTransfer(unit, capacity.blockSize, perTransfer, error) ||
        !buffer.Allocate(static_cast<size_t>(perTransfer) * capacity.blockSize,
                         unit.adapter.alignmentMask)) {
        std::fclose(file);
        return Fail(session, document, ExitFailure, error.empty() ? "out of memory" : error);
    }

    uint64_t done = 0;
    const BlockTransfer transfer{0x2A, "WRITE", lba, count, perTransfer, buffer.data()};
    const std::string failure = TransferBlocks(
        session, unit, capacity, transfer, result, done,
        [&](uint8_t* data, uint32_t bytes, std::string& why) {
            if (std::fread(data, 1, bytes, file) == bytes) return true;
            why = "cannot read '" + options.inputFile + "'";
            return false;
        });
    std::fclose(file);

    const Json outcome = ExecResultJson(result);
    for (const char* key : {"status", "ha_stat", "targ_stat", "sense", "sense_decoded"}) {
        document.Set(key, outcome.Get(key));
    }
    document.Set("lba", Json::Number(static_cast<int64_t>(lba)));
    document.Set("count", Json::Number(static_cast<int64_t>(count)));
    document.Set("block_size", Json::Number(capacity.blockSize));
    document.Set("blocks_written", Json::Number(static_cast<int64_t>(done)));
    document.Set("complete", Json::Boolean(failure.empty()));
    document.Set("file", Json::Text(options.inputFile));
    if (!failure.empty()) {
        return Fail(session, document, ExitFailure,
                    failure + "; " + std::to_string(done) + " of " + Plural(count, "block") +
                        " written");
    }
    Show(session, document,
         "wrote " + Plural(count, "block") + " of " + std::to_string(capacity.blockSize) +
             " bytes from " + options.inputFile + " to " + FormatAddress(unit.address) + " LBA " +
             std::to_string(lba) + "\n");
    return ExitOk;
}

}  // namespace aspitool
