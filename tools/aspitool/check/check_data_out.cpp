// The data-out path, which a library that sends every request as data-in
// would fail unseen. By default it is shown with a command that changes
// nothing: VERIFY(10) with BYTCHK set, by which the unit compares the
// blocks sent with its medium, only reading it, and answers MISCOMPARE
// where they differ. The bytes sent are those the unit has just given for
// block 0, so a unit that receives them intact finds them equal. A WRITE
// of no blocks would move no byte at all, and a MODE SELECT of the current
// values may still give other programs a MODE PARAMETERS CHANGED attention
// (and on a tape sets its buffered mode). With --write, a user's explicit
// choice, the last block is read, written back unchanged and read again.
#include "check.h"

#include "../sense.h"
#include "check_requests.h"

#include <cstring>
#include <vector>

namespace aspitool {
namespace {

const uint8_t OpVerify10 = 0x2F;
const uint8_t OpWrite10 = 0x2A;
const uint8_t ByteCheck = 0x02;  // VERIFY(10) byte 1: compare the data sent
const uint8_t KeyDataProtect = 0x07;
const uint8_t KeyMiscompare = 0x0E;
const uint8_t AscDataPhaseError = 0x4B;

// Returns true with block `lba` in `block`, read through `buffer`;
// otherwise false with `outcome` skipped or failed.
bool ReadBlock(const Session& session, const Unit& unit, const Capacity& capacity, uint32_t lba,
               RequestBuffer& buffer, const Deadline& deadline, CheckOutcome& outcome,
               std::vector<uint8_t>& block) {
    const std::string what = "READ of block " + std::to_string(lba);
    CommandBlock command = Read10(lba, 1, buffer.data(), capacity.blockSize);
    command.guard = buffer.guard();
    ExecResult result;
    if (!RunUnitCommand(session, unit.address, command, deadline, what.c_str(), outcome, result) ||
        !JudgeAnswer(result, what, outcome)) {
        return false;
    }
    block.assign(buffer.data(), buffer.data() + capacity.blockSize);
    return true;
}

// Returns true when `result` shows that the data-out bytes did not reach
// the unit as they were sent: a MISCOMPARE of bytes it just gave, or a
// data phase error.
bool DataNeverArrived(const ExecResult& result) {
    if (result.status != SS_ERR || result.targStat != 2) return false;
    const DecodedSense sense = DecodeSense(result.sense.data(), result.sense.size());
    return sense.valid && (sense.key == KeyMiscompare || sense.asc == AscDataPhaseError);
}

// Returns true when the data-out request of `command` completed with its
// buffer left as `sent`; otherwise false with `outcome` skipped or failed.
bool SendDataOut(const Session& session, const Unit& unit, const CommandBlock& command, const char* what,
                 const std::vector<uint8_t>& sent, const Deadline& deadline, CheckOutcome& outcome) {
    ExecResult result;
    if (!RunUnitCommand(session, unit.address, command, deadline, what, outcome, result)) return false;
    if (DataNeverArrived(result)) {
        FailCheck(outcome, std::string(what) + " with the unit's own bytes, sent as data-out",
                  ClassifyAnswer(result).state + ": the bytes did not reach the unit");
        return false;
    }
    if (std::memcmp(command.buffer, sent.data(), sent.size()) != 0) {
        FailCheck(outcome, "a data-out buffer left as it was", "the library wrote into it");
        return false;
    }
    return JudgeAnswer(result, what, outcome);
}

}  // namespace

void CheckDataOut(CheckRun& run, const UnitUnderTest& tested, const Capacity* capacity, bool writeTest) {
    const Session& session = *run.session;
    const Unit unit = tested.unit;
    const std::string subject = UnitSubject(unit.address);
    const bool usable = capacity != nullptr && capacity->blockSize <= unit.adapter.maxTransfer;
    const Capacity known = usable ? *capacity : Capacity();
    PerformCheck(run, subject, "unit.data_out", "data-out (VERIFY of block 0 with its own bytes)",
                 [&session, unit, usable, known](const Deadline& deadline, CheckOutcome& outcome) {
        if (!usable) {
            SkipCheck(outcome, "block 0 could not be read, so there is nothing known to send");
            return;
        }
        RequestBuffer data(outcome, known.blockSize, unit.adapter.alignmentMask);
        if (data.data() == nullptr) {
            FailCheck(outcome, "a data buffer", "out of memory");
            return;
        }
        std::vector<uint8_t> block;
        if (!ReadBlock(session, unit, known, 0, data, deadline, outcome, block)) return;
        CommandBlock verify;
        MakeReadWrite10(OpVerify10, 0, 1, verify.cdb);
        verify.cdb[1] = ByteCheck;
        verify.length = 10;
        verify.buffer = data.data();
        verify.bufferLength = known.blockSize;
        verify.guard = data.guard();
        ExecResult result;
        if (!RunUnitCommand(session, unit.address, verify, deadline, "VERIFY", outcome, result)) return;
        const DecodedSense sense = DecodeSense(result.sense.data(), result.sense.size());
        if (DataNeverArrived(result)) {
            FailCheck(outcome, "VERIFY of block 0 with its own bytes, sent as data-out, to find them equal",
                      ClassifyAnswer(result).state + ": the bytes did not reach the unit");
            return;
        }
        if (std::memcmp(data.data(), block.data(), block.size()) != 0) {
            FailCheck(outcome, "a data-out buffer left as it was", "the library wrote into it");
            return;
        }
        if (result.status == SS_ERR && result.targStat == 2 && sense.valid && sense.key == 0x05) {
            SkipCheck(outcome, "the unit does not take VERIFY with a byte check (" + DescribeSense(sense) + ")");
            return;
        }
        if (!JudgeAnswer(result, "VERIFY", outcome)) return;
        outcome.note = std::to_string(block.size()) + " bytes sent as data-out; the unit found them equal to block 0";
    });
    if (!writeTest) return;
    PerformCheck(run, subject, "unit.write_read_back", "write back the last block (--write)",
                 [&session, unit, usable, known](const Deadline& deadline, CheckOutcome& outcome) {
        if (!usable) {
            SkipCheck(outcome, "block 0 could not be read: nothing was written");
            return;
        }
        RequestBuffer data(outcome, known.blockSize, unit.adapter.alignmentMask);
        if (data.data() == nullptr) {
            FailCheck(outcome, "a data buffer", "out of memory");
            return;
        }
        const uint32_t lba = known.lastLba;
        std::vector<uint8_t> before, after;
        if (!ReadBlock(session, unit, known, lba, data, deadline, outcome, before)) return;
        CommandBlock write;
        MakeReadWrite10(OpWrite10, lba, 1, write.cdb);
        write.length = 10;
        write.buffer = data.data();
        write.bufferLength = known.blockSize;
        write.guard = data.guard();
        CheckOutcome attempt;
        const bool written = SendDataOut(session, unit, write, "WRITE", before, deadline, attempt);
        if (!written) {
            outcome = attempt;
            if (outcome.verdict == Verdict::Skip && outcome.note.find(SenseKeyName(KeyDataProtect)) != std::string::npos) {
                outcome.note = "the medium is write-protected: nothing was written (" + outcome.note + ")";
            }
            return;
        }
        std::memset(data.data(), 0, known.blockSize);
        if (!ReadBlock(session, unit, known, lba, data, deadline, outcome, after)) return;
        if (after != before) {
            size_t first = 0;
            while (after[first] == before[first]) ++first;
            FailCheck(outcome, "block " + std::to_string(lba) + " read back as it was written",
                      "it differs from byte " + std::to_string(first) + " on: the write did not carry the bytes");
            return;
        }
        outcome.note = "block " + std::to_string(lba) + " written back unchanged and read again: the same " +
                       std::to_string(before.size()) + " bytes";
    });
}

}  // namespace aspitool
