// Reads for disks and discs with a medium: READ CAPACITY, then block 0 and
// the adapter's largest transfer, each into an aligned buffer and into one
// misaligned by a byte, which must give the same data.
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

// Returns nothing; reads `count` blocks from block 0 twice, aligned and one
// byte off, and compares.
void ReadTwice(const Session& session, const Unit& unit, const Capacity& capacity,
               uint32_t count, const Deadline& deadline, CheckOutcome& outcome) {
    const uint32_t length = count * capacity.blockSize;
    RequestBuffer aligned(outcome, length, unit.adapter.alignmentMask);
    RequestBuffer misaligned(outcome, length, unit.adapter.alignmentMask, 1);
    if (aligned.data() == nullptr || misaligned.data() == nullptr) {
        FailCheck(outcome, "two data buffers of " + std::to_string(length) + " bytes",
                  "out of memory");
        return;
    }
    // Different fillings, so that data that never arrived cannot compare equal.
    std::memset(aligned.data(), 0x5A, length);
    std::memset(misaligned.data(), 0xC3, length);
    const std::string what = "READ of " + std::to_string(count) + " block" +
                             (count == 1 ? "" : "s");
    uint32_t compared = length;
    for (RequestBuffer* buffer : {&aligned, &misaligned}) {
        ExecResult result;
        if (!RunRequest(session, unit.address,
                        Read10(0, static_cast<uint16_t>(count), buffer->data(), length),
                        Way::Event, deadline, what.c_str(), outcome, result)) {
            return;
        }
        const uint32_t fewer = BufferedLimit / capacity.blockSize;
        if (buffer == &misaligned && result.status == SS_BUFFER_TO_BIG && length > BufferedLimit &&
            fewer > 0) {
            // Refused as the interface allows; the most it must take is read
            // instead.
            compared = fewer * capacity.blockSize;
            outcome.note = "misaligned " + std::to_string(length) +
                           " bytes refused with SS_BUFFER_TO_BIG, as allowed above 61440; ";
            if (!RunRequest(session, unit.address,
                            Read10(0, static_cast<uint16_t>(fewer), buffer->data(), compared),
                            Way::Event, deadline, what.c_str(), outcome, result)) {
                return;
            }
        }
        if (result.status != SS_COMP) {
            FailCheck(outcome,
                      what + (buffer == &aligned ? " into an aligned buffer" : " into a buffer one byte off alignment") +
                          ": SS_COMP (0x01)",
                      ResultText(result));
            return;
        }
    }
    if (std::memcmp(aligned.data(), misaligned.data(), compared) != 0) {
        size_t first = 0;
        while (aligned.data()[first] == misaligned.data()[first]) ++first;
        FailCheck(outcome, "the same " + std::to_string(compared) + " bytes from both buffers",
                  "they differ from byte " + std::to_string(first) + " on");
        return;
    }
    outcome.note += std::to_string(compared) + " bytes, the same from both buffers";
}

}  // namespace

bool CheckReads(CheckRun& run, const UnitUnderTest& tested, Capacity& capacity) {
    const Session& session = *run.session;
    const Unit unit = tested.unit;
    const std::string subject = UnitSubject(unit.address);
    auto found = std::make_shared<Capacity>();
    auto medium = std::make_shared<bool>(false);
    const CheckOutcome readCapacity = PerformCheck(
        run, subject, "READ CAPACITY",
        [&session, unit, found, medium](const Deadline& deadline, CheckOutcome& outcome) {
            RequestBuffer data(outcome, 8, unit.adapter.alignmentMask);
            if (data.data() == nullptr) {
                FailCheck(outcome, "a data buffer", "out of memory");
                return;
            }
            CommandBlock command;
            command.cdb[0] = 0x25;
            command.length = 10;
            command.dataIn = true;
            command.buffer = data.data();
            command.bufferLength = 8;
            ExecResult result;
            if (!RunRequest(session, unit.address, command, Way::Event, deadline,
                            "READ CAPACITY", outcome, result)) {
                return;
            }
            const DecodedSense sense = DecodeSense(result.sense.data(), result.sense.size());
            if (result.status == SS_ERR && result.targStat == 2 && sense.valid) {
                // The unit's own answer (no medium, or no such command),
                // delivered as it should be.
                SkipCheck(outcome, "the unit reports no capacity: " + DescribeSense(sense));
                return;
            }
            const uint8_t* bytes = data.data();
            found->lastLba = (static_cast<uint32_t>(bytes[0]) << 24) | (bytes[1] << 16) |
                             (bytes[2] << 8) | bytes[3];
            found->blockSize = (static_cast<uint32_t>(bytes[4]) << 24) | (bytes[5] << 16) |
                               (bytes[6] << 8) | bytes[7];
            found->blocks = static_cast<uint64_t>(found->lastLba) + 1;
            if (result.status != SS_COMP || found->blockSize == 0) {
                FailCheck(outcome, "SS_COMP (0x01) and a block size above 0",
                          ResultText(result) + ", block size " + std::to_string(found->blockSize));
                return;
            }
            *medium = true;
            outcome.note = std::to_string(found->blocks) + " blocks of " +
                           std::to_string(found->blockSize) + " bytes";
        });
    if (readCapacity.verdict != Verdict::Pass || !*medium) {
        for (const char* name : {"read block 0", "read the maximum transfer"}) {
            CheckRecord record;
            record.subject = subject;
            record.name = name;
            SkipCheck(record.outcome, run.stopReason.empty() ? "no usable capacity" : run.stopReason);
            run.records.push_back(record);
        }
        return false;
    }
    capacity = *found;
    const Capacity known = capacity;
    PerformCheck(run, subject, "read block 0",
                 [&session, unit, known](const Deadline& deadline, CheckOutcome& outcome) {
        if (known.blockSize > unit.adapter.maxTransfer) {
            SkipCheck(outcome, "a block is larger than the adapter's maximum transfer");
            return;
        }
        ReadTwice(session, unit, known, 1, deadline, outcome);
    });
    PerformCheck(run, subject, "read the maximum transfer",
                 [&session, unit, known](const Deadline& deadline, CheckOutcome& outcome) {
        const uint64_t count = std::min<uint64_t>(
            {unit.adapter.maxTransfer / known.blockSize, known.blocks, 0xFFFF});
        if (count == 0) {
            SkipCheck(outcome, "a block is larger than the adapter's maximum transfer");
            return;
        }
        ReadTwice(session, unit, known, static_cast<uint32_t>(count), deadline, outcome);
    });
    return true;
}

}  // namespace aspitool
