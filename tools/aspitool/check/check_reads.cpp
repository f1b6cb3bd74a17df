// Reads for disks and discs with a medium: READ CAPACITY, then block 0 and
// the adapter's largest transfer, each into a page-aligned buffer and into
// one a byte past a page's start, which must give the same data.
#include "check.h"

#include "../sense.h"
#include "check_requests.h"

#include <algorithm>
#include <cstring>
#include <memory>

namespace aspitool {
namespace {

// The interface lets a library refuse a transfer above this many bytes that
// the system would take only from an aligned buffer.
const uint32_t BufferedLimit = 0xF000;
// The most a read of this check transfers at once, whatever the adapter
// allows: two buffers of it are allocated.
const uint32_t MaxCheckTransfer = 1024 * 1024;

// Returns true when `count` blocks from block 0 were read twice, page-aligned
// and one byte off, and compared; otherwise false with `outcome` skipped or
// failed.
bool ReadTwice(const Session& session, const Unit& unit, const Capacity& capacity,
               uint32_t count, const Deadline& deadline, CheckOutcome& outcome) {
    const uint32_t length = count * capacity.blockSize;
    RequestBuffer aligned(outcome, length, unit.adapter.alignmentMask);
    RequestBuffer misaligned(outcome, length, unit.adapter.alignmentMask, 1);
    if (aligned.data() == nullptr || misaligned.data() == nullptr) {
        FailCheck(outcome, "two data buffers of " + std::to_string(length) + " bytes",
                  "out of memory");
        return false;
    }
    // Different fillings, so that data that never arrived cannot compare equal.
    std::memset(aligned.data(), 0x5A, length);
    std::memset(misaligned.data(), 0xC3, length);
    const std::string what = "READ of " + std::to_string(count) + " block" +
                             (count == 1 ? "" : "s");
    ExecResult result;
    CommandBlock command = Read10(0, static_cast<uint16_t>(count), aligned.data(), length);
    command.guard = aligned.guard();
    if (!RunUnitCommand(session, unit.address, command, deadline, what.c_str(), outcome, result) ||
        !JudgeAnswer(result, what + " into a page-aligned buffer", outcome)) {
        return false;
    }
    command = Read10(0, static_cast<uint16_t>(count), misaligned.data(), length);
    command.guard = misaligned.guard();
    if (!RunUnitCommand(session, unit.address, command, deadline, what.c_str(), outcome, result)) {
        return false;
    }
    outcome.note += std::to_string(length) + " bytes into a page-aligned buffer; ";
    uint32_t compared = length;
    Answer answer = ClassifyAnswer(result);
    const uint32_t fewer = BufferedLimit / capacity.blockSize;
    if (answer.kind == AnswerKind::TooLarge && length > BufferedLimit && fewer > 0) {
        // Refused as the interface allows; the most it must take is read
        // instead.
        compared = fewer * capacity.blockSize;
        outcome.note += "one byte off alignment refused with SS_BUFFER_TO_BIG, as allowed above 61440; ";
        if (!RunUnitCommand(session, unit.address,
                            Read10(0, static_cast<uint16_t>(fewer), misaligned.data(), compared),
                            deadline, what.c_str(), outcome, result)) {
            return false;
        }
        answer = ClassifyAnswer(result);
    }
    if (answer.kind == AnswerKind::TooLarge || answer.kind == AnswerKind::Refused) {
        // The interface leaves alignment to the caller: a library may refuse
        // a buffer that the adapter cannot take directly.
        outcome.note += "one byte off alignment refused (" + answer.state + "), as a library may";
        return true;
    }
    if (!JudgeAnswer(result, what + " into a buffer one byte off alignment", outcome)) return false;
    if (std::memcmp(aligned.data(), misaligned.data(), compared) != 0) {
        size_t first = 0;
        while (aligned.data()[first] == misaligned.data()[first]) ++first;
        FailCheck(outcome, "the same " + std::to_string(compared) + " bytes from both buffers",
                  "they differ from byte " + std::to_string(first) + " on");
        return false;
    }
    outcome.note += "one byte off alignment, " + std::to_string(compared) + " bytes the same";
    return true;
}

// Returns the 32-bit big-endian number at `bytes`.
uint32_t BigEndian32(const uint8_t* bytes) {
    return (static_cast<uint32_t>(bytes[0]) << 24) | (static_cast<uint32_t>(bytes[1]) << 16) |
           (static_cast<uint32_t>(bytes[2]) << 8) | bytes[3];
}

}  // namespace

bool CheckReads(CheckRun& run, const UnitUnderTest& tested, Capacity& capacity, bool& readable) {
    const Session& session = *run.session;
    const Unit unit = tested.unit;
    const std::string subject = UnitSubject(unit.address);
    auto found = std::make_shared<Capacity>();
    auto medium = std::make_shared<bool>(false);
    readable = false;
    const CheckOutcome readCapacity = PerformCheck(
        run, subject, "unit.read_capacity", "READ CAPACITY",
        [&session, unit, found, medium](const Deadline& deadline, CheckOutcome& outcome) {
            RequestBuffer data(outcome, 8, unit.adapter.alignmentMask);
            if (data.data() == nullptr) {
                FailCheck(outcome, "a data buffer", "out of memory");
                return;
            }
            std::memset(data.data(), 0, 8);
            CommandBlock command;
            command.cdb[0] = 0x25;
            command.length = 10;
            command.dataIn = true;
            command.buffer = data.data();
            command.bufferLength = 8;
            command.guard = data.guard();
            ExecResult result;
            if (!RunUnitCommand(session, unit.address, command, deadline, "READ CAPACITY", outcome,
                                result) ||
                !JudgeAnswer(result, "", outcome)) {
                return;
            }
            found->lastLba = BigEndian32(data.data());
            found->blockSize = BigEndian32(data.data() + 4);
            found->blocks = static_cast<uint64_t>(found->lastLba) + 1;
            if (found->blockSize == 0) {
                SkipCheck(outcome, "READ CAPACITY: the unit reports a block size of 0");
                return;
            }
            *medium = true;
            outcome.note += std::to_string(found->blocks) + " blocks of " +
                            std::to_string(found->blockSize) + " bytes";
        });
    if (readCapacity.verdict != Verdict::Pass || !*medium) {
        for (const char* name : {"read block 0", "read the maximum transfer"}) {
            CheckOutcome outcome;
            SkipCheck(outcome, !run.stopReason.empty() ? run.stopReason
                               : "no usable capacity" + (readCapacity.note.empty() ? std::string()
                                                                                  : ": " + readCapacity.note));
            AddRecord(run, subject, name[5] == 'b' ? "unit.read_block_0" : "unit.read_max_transfer",
                      name, outcome);
        }
        return false;
    }
    capacity = *found;
    const Capacity known = capacity;
    const CheckOutcome first = PerformCheck(
        run, subject, "unit.read_block_0", "read block 0",
        [&session, unit, known](const Deadline& deadline, CheckOutcome& outcome) {
            if (known.blockSize > unit.adapter.maxTransfer) {
                SkipCheck(outcome, "a block is larger than the adapter's maximum transfer");
                return;
            }
            ReadTwice(session, unit, known, 1, deadline, outcome);
        });
    PerformCheck(run, subject, "unit.read_max_transfer", "read the maximum transfer",
                 [&session, unit, known](const Deadline& deadline, CheckOutcome& outcome) {
        const uint32_t allowed = std::min(unit.adapter.maxTransfer, MaxCheckTransfer);
        const uint64_t count = std::min<uint64_t>({allowed / known.blockSize, known.blocks, 0xFFFF});
        if (count == 0) {
            SkipCheck(outcome, "a block is larger than the adapter's maximum transfer");
            return;
        }
        if (allowed < unit.adapter.maxTransfer) {
            outcome.note = "the tool's cap of " + std::to_string(MaxCheckTransfer) +
                           " bytes, below the adapter's " + std::to_string(unit.adapter.maxTransfer) +
                           "; ";
        }
        ReadTwice(session, unit, known, static_cast<uint32_t>(count), deadline, outcome);
    });
    readable = first.verdict == Verdict::Pass;
    return true;
}

}  // namespace aspitool
