// Reaching a unit, sending it command blocks, and the failure reporting
// that every command shares.
#include "commands.h"

#include "../machine_setup.h"
#include "../output.h"
#include "../progress.h"
#include "../trace.h"

#include <cstdio>
#include <cstring>

namespace aspitool {

int OpenUnit(const Session& session, const std::string& operand, bool requireUnit, Unit& unit,
             std::string& error) {
    if (!ParseAddress(operand, unit.address, error)) return ExitUsage;
    const DWORD support = session.library.getSupportInfo();
    const unsigned adapters = support & 0xFF;
    if (((support >> 8) & 0xFF) != SS_COMP) {
        char value[16];
        std::snprintf(value, sizeof value, "0x%08lX", static_cast<unsigned long>(support));
        error = std::string("the library's support information ") + value +
                " does not report SS_COMP";
        return ExitFailure;
    }
    if (unit.address.ha >= adapters) {
        error = "no host adapter " + std::to_string(unit.address.ha) + ": there " +
                (adapters == 1 ? "is 1" : "are " + std::to_string(adapters));
        return ExitFailure;
    }
    const uint8_t haStatus = InquireHostAdapter(session.library, unit.address.ha, unit.adapter);
    if (haStatus != SS_COMP) {
        error = "host adapter inquiry of " + std::to_string(unit.address.ha) + " failed: " +
                NamedValue(AspiStatusName(haStatus), haStatus);
        return ExitFailure;
    }
    if (!requireUnit) return ExitOk;
    const uint8_t status = GetDeviceType(session.library, unit.address, unit.deviceType);
    if (status != SS_COMP) {
        error = "no unit at " + FormatAddress(unit.address) + " (device-type request: " +
                NamedValue(AspiStatusName(status), status) + ")";
        return ExitFailure;
    }
    return ExitOk;
}

bool SendCdb(const Session& session, const Unit& unit, const uint8_t* cdb, uint8_t cdbLength,
             DataDirection direction, uint8_t* buffer, uint32_t length, ExecResult& result,
             std::string& error) {
    ExecRequest request;
    request.unit = unit.address;
    if (cdbLength > sizeof request.cdb) {
        error = "a command block has at most 16 bytes";
        return false;
    }
    std::memcpy(request.cdb, cdb, cdbLength);
    request.cdbLength = cdbLength;
    request.direction = direction;
    request.buffer = buffer;
    request.length = length;
    request.senseLength = static_cast<uint8_t>(session.options.senseLength);
    request.notify = session.options.notify;
    request.timeoutMs = session.options.timeoutSeconds * 1000u;
    request.residual = unit.adapter.countsResiduals;
    if (session.options.verbose) {
        TraceCommand(request);
        StartPlatformRecord();
    }
    if (!ExecuteScsi(session.library, request, result, error)) {
        if (session.options.verbose) TraceText("< " + error);
        return false;
    }
    if (session.options.verbose) {
        TraceResult(result);
        for (const std::string& line : PlatformRecord()) TraceText("< platform: " + line);
    }
    return true;
}

bool SendDataIn(const Session& session, const Unit& unit, const uint8_t* cdb, uint8_t cdbLength,
                uint32_t length, AlignedBuffer& data, ExecResult& result, std::string& error) {
    if (!data.Allocate(length, unit.adapter.alignmentMask)) {
        error = "out of memory";
        return false;
    }
    return SendCdb(session, unit, cdb, cdbLength, DataDirection::In, data.data(), length, result,
                   error);
}

bool CompletedGood(const Unit& unit, const char* name, const ExecResult& result,
                   std::string& error) {
    if (result.status == SS_COMP) return true;
    error = std::string(name) + " on " + FormatAddress(unit.address) + " failed: " +
            ExecFailureText(result);
    return false;
}

bool ReadCapacity(const Session& session, const Unit& unit, Capacity& capacity,
                  ExecResult& result, std::string& error) {
    const uint8_t cdb[10] = {0x25, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    AlignedBuffer data;
    if (!SendDataIn(session, unit, cdb, sizeof cdb, 8, data, result, error)) return false;
    if (!CompletedGood(unit, "READ CAPACITY", result, error)) return false;
    const uint8_t* d = data.data();
    capacity.lastLba = (static_cast<uint32_t>(d[0]) << 24) | (static_cast<uint32_t>(d[1]) << 16) |
                       (static_cast<uint32_t>(d[2]) << 8) | d[3];
    capacity.blockSize = (static_cast<uint32_t>(d[4]) << 24) | (static_cast<uint32_t>(d[5]) << 16) |
                         (static_cast<uint32_t>(d[6]) << 8) | d[7];
    capacity.blocks = static_cast<uint64_t>(capacity.lastLba) + 1;
    if (capacity.lastLba == 0xFFFFFFFFu) {
        error = "the medium of " + FormatAddress(unit.address) +
                " is too large for READ CAPACITY(10)";
        return false;
    }
    if (capacity.blockSize == 0) {
        error = FormatAddress(unit.address) + " reports a block size of 0";
        return false;
    }
    return true;
}

uint32_t InquiryLength(const Unit& unit) {
    return unit.adapter.maxTransfer < 36 ? unit.adapter.maxTransfer : 36;
}

bool BlocksPerTransfer(const Unit& unit, uint32_t blockSize, uint32_t& blocks,
                       std::string& error) {
    uint32_t fit = blockSize == 0 ? 0 : unit.adapter.maxTransfer / blockSize;
    if (fit == 0) {
        error = "host adapter " + std::to_string(unit.address.ha) + " moves at most " +
                std::to_string(unit.adapter.maxTransfer) + " bytes at a time, less than one block of " +
                std::to_string(blockSize) + " bytes";
        return false;
    }
    blocks = fit < 0xFFFFu ? fit : 0xFFFFu;
    return true;
}

void MakeReadWrite10(uint8_t opcode, uint32_t lba, uint16_t blocks, uint8_t cdb[10]) {
    cdb[0] = opcode;
    cdb[1] = 0;
    cdb[2] = static_cast<uint8_t>(lba >> 24);
    cdb[3] = static_cast<uint8_t>(lba >> 16);
    cdb[4] = static_cast<uint8_t>(lba >> 8);
    cdb[5] = static_cast<uint8_t>(lba);
    cdb[6] = 0;
    cdb[7] = static_cast<uint8_t>(blocks >> 8);
    cdb[8] = static_cast<uint8_t>(blocks);
    cdb[9] = 0;
}

bool ExpectOperands(const Session& session, size_t count, const char* form, std::string& error) {
    if (session.options.operands.size() == count) return true;
    error = std::string(session.options.operands.size() < count ? "missing operands"
                                                                 : "too many operands") +
            "; usage: aspitool " + form;
    return false;
}

Json OutcomeDocument(const Unit& unit, const ExecResult& result) {
    Json document = Json::Object();
    document.Set("unit", Json::Text(FormatAddress(unit.address)));
    const Json outcome = ExecResultJson(result);
    for (const char* key : {"status", "ha_stat", "targ_stat", "sense", "sense_decoded"}) {
        document.Set(key, outcome.Get(key));
    }
    return document;
}

int Fail(const Session& session, Json& document, int code, const std::string& message) {
    if (session.options.json) {
        document.Set("error", Json::Text(message));
        document.Set("error_kind", Json::Text(code == ExitUsage ? "usage" : "command"));
        PrintJson(document);
    }
    PrintError(message);
    return code;
}

void Show(const Session& session, const Json& document, const std::string& text) {
    if (session.options.json) {
        PrintJson(document);
    } else {
        std::fwrite(text.data(), 1, text.size(), stdout);
    }
}

std::string NotBlockDeviceError(const Unit& unit, const char* command) {
    // Direct access, write-once, CD/DVD, optical memory, simplified direct
    // access: the types whose medium is addressed by logical block.
    const uint8_t type = unit.deviceType & 0x1F;
    if (type == 0x00 || type == 0x04 || type == 0x05 || type == 0x07 || type == 0x0E) return std::string();
    const std::string address = FormatAddress(unit.address);
    const std::string what = std::string(command) + " is for block devices";
    if (type == 0x01) {
        const bool reads = std::string(command) == "read";
        return what + ": " + address + " is a tape (sequential access), which has no blocks to address; " +
               (reads ? "read its next record with raw, for instance: aspitool raw " + address +
                            " 08000000ff00 --in 65280 (READ(6) of up to 65280 bytes)"
                      : "write a record with raw, for instance: aspitool raw " + address +
                            " 0a0000020000 --out FILE (WRITE(6) of the 512 bytes of FILE)");
    }
    return what + ": " + address + " is a device of type " + std::to_string(type) +
           ", which has no blocks to address; send its commands with raw";
}

std::string BlockRangeError(const Unit& unit, const Capacity& capacity, uint64_t lba,
                            uint64_t count) {
    if (lba < capacity.blocks && count <= capacity.blocks - lba) return std::string();
    // Only the blocks that are not there are named: the ones before the
    // end exist and could be read.
    const uint64_t first = lba > capacity.blocks ? lba : capacity.blocks;
    const uint64_t last = lba + count - 1;
    const std::string range = first == last ? "block " + std::to_string(first) + " lies"
                                            : "blocks " + std::to_string(first) + " to " +
                                                  std::to_string(last) + " lie";
    return range + " beyond the end of the medium of " + FormatAddress(unit.address) + " (" +
           Plural(capacity.blocks, "block") + ", 0 to " + std::to_string(capacity.blocks - 1) + ")";
}

std::string Plural(uint64_t count, const char* noun) {
    return std::to_string(count) + " " + noun + (count == 1 ? "" : "s");
}

std::string TransferBlocks(const Session& session, const Unit& unit, const Capacity& capacity,
                           const BlockTransfer& transfer, ExecResult& result, uint64_t& done,
                           const std::function<bool(uint8_t*, uint32_t, std::string&)>& chunk) {
    const bool writing = transfer.Opcode == 0x2A;
    Progress progress(writing ? "write" : "read", transfer.Count * capacity.blockSize);
    std::string failure;
    std::string error;
    done = 0;
    while (done < transfer.Count) {
        const uint64_t left = transfer.Count - done;
        const uint32_t blocks =
            left < transfer.PerTransfer ? static_cast<uint32_t>(left) : transfer.PerTransfer;
        const uint32_t bytes = blocks * capacity.blockSize;
        const uint32_t at = static_cast<uint32_t>(transfer.Lba + done);
        if (writing && !chunk(transfer.Buffer, bytes, failure)) return failure;
        uint8_t cdb[10];
        MakeReadWrite10(transfer.Opcode, at, static_cast<uint16_t>(blocks), cdb);
        const std::string where = std::string(transfer.Name) + " at LBA " + std::to_string(at);
        if (!SendCdb(session, unit, cdb, sizeof cdb,
                     writing ? DataDirection::Out : DataDirection::In, transfer.Buffer, bytes,
                     result, error)) {
            return where + ": " + error;
        }
        if (result.status != SS_COMP) return where + " failed: " + ExecFailureText(result);
        if (!writing && !chunk(transfer.Buffer, bytes, failure)) return failure;
        done += blocks;
        progress.Update(done * capacity.blockSize);
    }
    return std::string();
}

}  // namespace aspitool
