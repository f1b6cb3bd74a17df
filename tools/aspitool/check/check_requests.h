// Execute requests as the checks send them: completion by each of the three
// ways the interface offers, watched closely enough to see a status that
// changes twice, an event set twice or a post routine called twice.
#ifndef ASPITOOL_CHECK_REQUESTS_H
#define ASPITOOL_CHECK_REQUESTS_H

#include "check.h"

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

namespace aspitool {

enum class Way { Poll, Event, Post };

// Returns "polling", "event" or "post routine".
const char* WayName(Way way);

const uint8_t CheckSenseLength = 32;
// Bytes of a known filling after every sense area and data buffer, where a
// correct library never writes.
const size_t GuardLength = 32;
const uint8_t GuardByte = 0xA7;

// Returns the empty text when the `GuardLength` bytes at `guard` still hold
// GuardByte; otherwise which of them changed, after `what`.
std::string GuardDamage(const uint8_t* guard, const std::string& what);

// One execute block with its sense area and what the post routine saw. It
// is allocated by SubmitRequest and lives, with its event, until the
// process ends: a library may complete a block again long after it
// completed it (see ReleaseRequest and SecondCompletions).
struct CheckRequest {
    alignas(8) BYTE block[SRB_EXEC_HEADER_LEN + CheckSenseLength + GuardLength];
    uint8_t senseLength = CheckSenseLength;
    Way way = Way::Event;
    HANDLE event = nullptr;
    std::atomic<int> posts{0};
    std::atomic<void*> postedBlock{nullptr};
    std::atomic<int> statusAtPost{-1};
    BYTE returned = 0;                 // what SendASPI32Command returned
    std::vector<BYTE> statusesSeen;    // while polling: every value, in order
    bool completed = false;            // a final status was seen and notified
    // Set when the event came (or the post routine ran) while the status
    // still read SS_PENDING, with how long the status then took.
    bool notifiedEarly = false;
    uint32_t earlyMs = 0;
    // What the request was, for the report: "unit 0:0:0, TEST UNIT READY by event".
    std::string label;
    // Taken when the check was done with the request, so that the end of
    // the run can tell a second completion.
    bool released = false;
    CheckRequest* sentBefore = nullptr;  // the list of every request sent
    BYTE releasedStatus = 0;
    int releasedPosts = 0;
    // A held request's post routine, run on another thread than the one
    // that sent it, sets `holdEntered` and waits for `holdRelease`.
    DWORD submitter = 0;
    HANDLE holdEntered = nullptr;
    HANDLE holdRelease = nullptr;
    uint32_t holdMs = 0;
};

struct CommandBlock {
    uint8_t cdb[16] = {};
    uint8_t length = 0;
    bool dataIn = false;
    uint8_t* buffer = nullptr;
    uint32_t bufferLength = 0;
    uint8_t senseLength = CheckSenseLength;  // 0 to CheckSenseLength
    // The guard bytes after the data buffer, checked after completion; null
    // when the buffer has none.
    const uint8_t* guard = nullptr;
};

// Returns the 6-byte block of `opcode` with byte 4 `allocation`.
CommandBlock Cdb6(uint8_t opcode, uint8_t allocation, uint8_t* buffer);
// Returns a READ(10) of `count` blocks from `lba` into `buffer` of `length`.
CommandBlock Read10(uint32_t lba, uint16_t count, uint8_t* buffer, uint32_t length);

// Returns the request, sent to `unit` with `way` of completion, or null
// when no event could be made (`error` says so).
CheckRequest* SubmitRequest(const AspiLibrary& library, const UnitAddress& unit,
                            const CommandBlock& command, Way way, std::string& error);
// Returns the request as SubmitRequest does, by post routine, whose call
// on a thread of the library holds that thread for up to `holdMs` until
// `holdRelease` is set: the library is known to be busy with it meanwhile.
CheckRequest* SubmitHeldRequest(const AspiLibrary& library, const UnitAddress& unit,
                                const CommandBlock& command, uint32_t holdMs, std::string& error);
// Returns the status byte as the library last stored it.
BYTE RequestStatus(const CheckRequest& request);
// Returns true once `request` has a final status and, for the event and the
// post routine, its notification came; false when the deadline passed
// first. Polling records every status value it reads.
bool AwaitRequest(CheckRequest& request, const Deadline& deadline);
// Returns the empty text when the request completed once and only once:
// checked over a short quiet time after completion (status unchanged, not
// notified again, the post routine given the block's own address and
// called after the final status was stored); otherwise what was wrong.
std::string ConfirmSingleCompletion(CheckRequest& request);
// Returns nothing; the check is done with a request that completed: what
// it looks like now is kept for SecondCompletions. One that did not
// complete marks the outcome, since the library may still write it.
void ReleaseRequest(CheckRequest* request, CheckOutcome& outcome);
// Returns, for each request completed again after the check was done with
// it (its status changed, its event set again, its post routine called
// again), what happened; empty when none was.
std::vector<std::string> SecondCompletions();
// Returns what became of a request that has not completed, in words.
std::string PendingState(const CheckRequest& request);

// Returns true when the request was sent, completed and (with `watch`)
// confirmed to complete once within the deadline; otherwise false with
// `outcome` failed. `result` holds the completion's status bytes and sense.
bool RunRequest(const Session& session, const UnitAddress& unit, const CommandBlock& command,
                Way way, const Deadline& deadline, const char* what, CheckOutcome& outcome,
                ExecResult& result, bool watch = true);

// A data buffer for requests of one check, `offset` bytes past the start of
// a page (or of a larger block that `alignmentMask` asks for), followed by
// GuardLength guard bytes. A page-aligned buffer of the adapter's maximum
// transfer spans exactly as many pages as that length needs. It is never
// freed, since a library may write into it again after completion.
class RequestBuffer {
public:
    RequestBuffer(const CheckOutcome& outcome, size_t size, uint16_t alignmentMask,
                  size_t offset = 0);
    ~RequestBuffer();
    RequestBuffer(const RequestBuffer&) = delete;
    RequestBuffer& operator=(const RequestBuffer&) = delete;
    // Returns null when the memory could not be had.
    uint8_t* data() { return storage_ == nullptr ? nullptr : storage_->data() + offset_; }
    // Returns the guard bytes after the buffer, null without a buffer.
    const uint8_t* guard() { return data() == nullptr ? nullptr : data() + size_; }

private:
    const CheckOutcome& outcome_;
    AlignedBuffer* storage_;
    size_t size_;
    size_t offset_;
};

// The state a completed request reports, sorted by who gave the answer.
enum class AnswerKind {
    Done,         // SS_COMP
    Unit,         // the unit's own answer: a target status other than GOOD
    Refused,      // the system refused or failed it: no target status, no sense
    Unreachable,  // SS_NO_DEVICE
    TooLarge,     // SS_BUFFER_TO_BIG
    Impossible,   // what no correct library reports
};
struct Answer {
    AnswerKind kind = AnswerKind::Done;
    std::string state;  // in words: "medium not present", "reserved by another initiator"
};
// Returns what `result` says, by the one rule all checks follow.
Answer ClassifyAnswer(const ExecResult& result);
// Returns true when the request completed (SS_COMP). Otherwise returns
// false with `outcome` skipped for a state the unit, the adapter or the
// system legitimately reports, named, or failed for an answer that no
// correct library gives. `what` (empty when the check's name says it)
// begins the words.
bool JudgeAnswer(const ExecResult& result, const std::string& what, CheckOutcome& outcome);
// Returns true when `result` is a passing condition worth one more try:
// UNIT ATTENTION or BUSY.
bool IsPassingCondition(const ExecResult& result);
// Returns true as RunRequest does, tried again (up to three times in all)
// while the unit answers UNIT ATTENTION or BUSY; `outcome` notes it.
bool RunUnitCommand(const Session& session, const UnitAddress& unit, const CommandBlock& command,
                    const Deadline& deadline, const char* what, CheckOutcome& outcome,
                    ExecResult& result);

// Returns the words for sense data that is neither fixed nor descriptor
// format: the non-extended sense of SCSI-1 units, which give an error
// class and code in byte 0. `sense` is not empty.
std::string NonExtendedSense(const std::vector<uint8_t>& sense);
// Returns "SS_COMP (0x01)".
std::string StatusText(uint8_t status);
// Returns the status, target status and decoded sense of `result` in words.
std::string ResultText(const ExecResult& result);
// Returns "unit H:T:L".
std::string UnitSubject(const UnitAddress& address);

}  // namespace aspitool

#endif
