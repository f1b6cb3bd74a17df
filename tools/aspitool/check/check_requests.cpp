#include "check_requests.h"

#include "../output.h"
#include "../sense.h"
#include "../srb_requests.h"
#include "check_release.h"
#include "guarded_run.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>

namespace aspitool {
namespace {

// How long a completed request is watched for a second completion.
const DWORD QuietMs = 20;

// The requests sent with a post routine. The post routine trusts nothing
// the library hands it: it looks the address up here, and counts an
// address of no request as a stray post. Requests stay here after they
// completed, so that a second completion is counted on its request.
const size_t MaxLiveRequests = 4096;
std::atomic<CheckRequest*> liveRequests[MaxLiveRequests];
std::atomic<int> strayPosts{0};

// How often a command is sent in all while the unit answers UNIT ATTENTION
// or BUSY, and how long a BUSY unit is given before the next try.
const int Tries = 3;
const DWORD BusyPauseMs = 100;

// Returns nothing; makes `request` one that the post routine knows.
void Register(CheckRequest* request) {
    for (std::atomic<CheckRequest*>& slot : liveRequests) {
        CheckRequest* empty = nullptr;
        if (slot.compare_exchange_strong(empty, request)) return;
    }
}

// Every request sent, newest first, none ever freed: a library may write
// into a block, set its event or call its post routine again after
// completing it, and must meet memory that is still the request's.
std::atomic<CheckRequest*> lastSent{nullptr};

// Returns nothing; called by the library, on its own thread, for requests
// sent with SRB_POSTING. cdecl: the library removes the argument.
void __cdecl OnPosted(void* srb) {
    for (std::atomic<CheckRequest*>& slot : liveRequests) {
        CheckRequest* request = slot.load();
        if (request == nullptr || static_cast<void*>(request->block) != srb) continue;
        // Read before the event is set: from then on the request may be freed.
        const HANDLE release = request->holdRelease;
        const HANDLE entered = request->holdEntered;
        const DWORD holdMs = request->holdMs;
        const bool hold = release != nullptr && GetCurrentThreadId() != request->submitter;
        request->postedBlock.store(srb);
        request->statusAtPost.store(RequestStatus(*request));
        request->posts.fetch_add(1);
        SetEvent(request->event);
        if (hold) {
            SetEvent(entered);
            WaitForSingleObject(release, holdMs);
        }
        return;
    }
    strayPosts.fetch_add(1);
}

// Returns the execute block of `request`.
SRB_ExecSCSICmd* Block(CheckRequest& request) {
    return reinterpret_cast<SRB_ExecSCSICmd*>(request.block);
}

// Returns true when `status` is no longer SS_PENDING.
bool IsFinal(BYTE status) { return status != SS_PENDING; }

// Returns true once the status is final, recording each value read.
bool PollFinal(CheckRequest& request, const Deadline& deadline) {
    for (unsigned reads = 0;; ++reads) {
        const BYTE status = RequestStatus(request);
        if (request.statusesSeen.empty() || request.statusesSeen.back() != status) {
            request.statusesSeen.push_back(status);
        }
        if (IsFinal(status)) return true;
        if (deadline.LeftMs() == 0) return false;
        // Closely at first, where most requests end; then without
        // spinning, for a unit that takes its time.
        Sleep(reads < 1000 ? 0 : 1);
    }
}

// Returns the sense area of `request`.
const uint8_t* SenseArea(const CheckRequest& request) {
    return request.block + SRB_EXEC_HEADER_LEN;
}

// Returns the words for the state that sense data `sense` reports.
std::string SenseState(const DecodedSense& sense) {
    const std::string described = DescribeSense(sense);
    std::string state;
    if (sense.key == 0x02 && sense.asc == 0x3A) {
        state = "medium not present";
    } else if (sense.key == 0x05 && sense.asc == 0x64) {
        state = "audio disc: no data blocks";
    } else if (sense.key == 0x08) {
        state = "blank medium: nothing recorded";
    } else if (sense.key == 0x02) {
        state = "not ready";
    } else if (sense.key == 0x03) {
        state = "medium error";
    } else if (sense.key == 0x04) {
        state = "hardware error";
    } else if (sense.key == 0x06) {
        state = "unit attention";
    } else if (sense.key == 0x05) {
        state = "command refused by the unit";
    } else {
        state = "the unit reports an error";
    }
    if (sense.deferred) state = "deferred error of an earlier command: " + state;
    return state + " (" + described + ")";
}

// Returns true when `sense` is fixed-format sense data whose key needs an
// additional sense code (ILLEGAL REQUEST and UNIT ATTENTION name their
// cause in it), whose additional length reaches that code, and of which
// every byte past the first 8 is zero: only its header arrived.
bool SenseCutShort(const std::vector<uint8_t>& sense) {
    if (sense.size() < 14 || (sense[0] & 0x7E) != 0x70 || sense[7] < 6) return false;
    const uint8_t key = sense[2] & 0x0F;
    if (key != 0x05 && key != 0x06) return false;
    for (size_t i = 8; i < sense.size(); ++i) {
        if (sense[i] != 0) return false;
    }
    return true;
}

}  // namespace

std::string NonExtendedSense(const std::vector<uint8_t>& sense) {
    char text[96];
    std::snprintf(text, sizeof text, "non-extended sense data of SCSI-1 (error class %u, code %u)",
                  static_cast<unsigned>((sense[0] >> 4) & 0x07), static_cast<unsigned>(sense[0] & 0x0F));
    return text;
}

int StrayPosts() { return strayPosts.load(); }

std::string GuardDamage(const uint8_t* guard, const std::string& what) {
    for (size_t i = 0; i < GuardLength; ++i) {
        if (guard[i] != GuardByte) {
            return "byte " + std::to_string(i) + " after " + what + " written (" +
                   std::to_string(guard[i]) + ")";
        }
    }
    return std::string();
}

const char* WayName(Way way) {
    switch (way) {
    case Way::Poll: return "polling";
    case Way::Event: return "event";
    case Way::Post: return "post routine";
    }
    return "?";
}

CommandBlock Cdb6(uint8_t opcode, uint8_t allocation, uint8_t* buffer) {
    CommandBlock command;
    command.cdb[0] = opcode;
    command.cdb[4] = allocation;
    command.length = 6;
    command.dataIn = allocation != 0;
    command.buffer = buffer;
    command.bufferLength = allocation;
    return command;
}

CommandBlock Read10(uint32_t lba, uint16_t count, uint8_t* buffer, uint32_t length) {
    CommandBlock command;
    MakeReadWrite10(0x28, lba, count, command.cdb);
    command.length = 10;
    command.dataIn = true;
    command.buffer = buffer;
    command.bufferLength = length;
    return command;
}

BYTE RequestStatus(const CheckRequest& request) {
    return *static_cast<const volatile BYTE*>(
        &request.block[offsetof(SRB_ExecSCSICmd, SRB_Status)]);
}

namespace {

// Returns the request, filled and sent as SubmitRequest says, with `hold`
// (when not null) set up before it is sent.
CheckRequest* Submit(const AspiLibrary& library, const UnitAddress& unit, const CommandBlock& command,
                     Way way, const uint32_t* holdMs, std::string& error) {
    CheckRequest* request = new (std::nothrow) CheckRequest;
    if (request == nullptr) {
        error = "out of memory";
        return nullptr;
    }
    std::memset(request->block, 0, sizeof request->block);
    request->senseLength = command.senseLength;
    std::memset(request->block + SRB_EXEC_HEADER_LEN + command.senseLength, GuardByte,
                sizeof request->block - SRB_EXEC_HEADER_LEN - command.senseLength);
    request->way = way;
    if (way != Way::Poll) {
        request->event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        if (request->event == nullptr) {
            error = "cannot create an event (error " + std::to_string(GetLastError()) + ")";
            delete request;
            return nullptr;
        }
    }
    if (holdMs != nullptr) {
        request->submitter = GetCurrentThreadId();
        request->holdMs = *holdMs;
        request->holdEntered = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        request->holdRelease = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        if (request->holdEntered == nullptr || request->holdRelease == nullptr) {
            error = "cannot create an event (error " + std::to_string(GetLastError()) + ")";
            for (HANDLE handle : {request->event, request->holdEntered, request->holdRelease}) {
                if (handle != nullptr) CloseHandle(handle);
            }
            delete request;
            return nullptr;
        }
    }
    SRB_ExecSCSICmd* srb = Block(*request);
    srb->SRB_Cmd = SC_EXEC_SCSI_CMD;
    srb->SRB_HaId = unit.ha;
    srb->SRB_Target = unit.target;
    srb->SRB_Lun = unit.lun;
    srb->SRB_Flags = command.dataIn ? SRB_DIR_IN : 0;
    srb->SRB_BufLen = command.bufferLength;
    srb->SRB_BufPointer = command.buffer;
    srb->SRB_SenseLen = command.senseLength;
    srb->SRB_CDBLen = command.length;
    std::memcpy(srb->CDBByte, command.cdb, sizeof srb->CDBByte);
    if (way == Way::Event) {
        srb->SRB_Flags |= SRB_EVENT_NOTIFY;
        srb->SRB_PostProc = request->event;
    } else if (way == Way::Post) {
        srb->SRB_Flags |= SRB_POSTING;
        srb->SRB_PostProc = reinterpret_cast<LPVOID>(&OnPosted);
        Register(request);
    }
    request->sentBefore = lastSent.load();
    while (!lastSent.compare_exchange_weak(request->sentBefore, request)) {
    }
    request->returned = static_cast<BYTE>(library.sendCommand(srb));
    return request;
}

}  // namespace

CheckRequest* SubmitRequest(const AspiLibrary& library, const UnitAddress& unit,
                            const CommandBlock& command, Way way, std::string& error) {
    return Submit(library, unit, command, way, nullptr, error);
}

CheckRequest* SubmitHeldRequest(const AspiLibrary& library, const UnitAddress& unit,
                                const CommandBlock& command, uint32_t holdMs, std::string& error) {
    return Submit(library, unit, command, Way::Post, &holdMs, error);
}

bool AwaitRequest(CheckRequest& request, const Deadline& deadline) {
    if (request.way == Way::Poll) {
        request.statusesSeen.push_back(request.returned);
        request.completed = PollFinal(request, deadline);
        return request.completed;
    }
    const DWORD wait = WaitForSingleObject(request.event, deadline.LeftMs());
    if (wait != WAIT_OBJECT_0) return false;
    if (!IsFinal(RequestStatus(request))) {
        // Notified too early: how long the status still takes is measured,
        // so that the report says what happened rather than that nothing did.
        request.notifiedEarly = true;
        const auto notified = Clock::now();
        while (!IsFinal(RequestStatus(request)) && deadline.LeftMs() > 0) Sleep(1);
        request.earlyMs = static_cast<uint32_t>(
            std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - notified).count());
    }
    request.completed = IsFinal(RequestStatus(request));
    return request.completed;
}

std::string PendingState(const CheckRequest& request) {
    std::string state = "its status still reads " + StatusText(RequestStatus(request));
    if (request.way == Way::Event) {
        const bool set = request.notifiedEarly || WaitForSingleObject(request.event, 0) == WAIT_OBJECT_0;
        state += set ? ", though its event was set" : ", and its event was never set";
    } else if (request.way == Way::Post) {
        const int posts = request.posts.load();
        state += posts > 0 ? ", though its post routine was called " + std::to_string(posts) + " time" +
                                 (posts == 1 ? "" : "s")
                           : ", and its post routine was never called";
    }
    return state;
}

std::string ConfirmSingleCompletion(CheckRequest& request) {
    const BYTE final = RequestStatus(request);
    if (!IsPostedStatus(final)) return "an execute request ended with " + StatusText(final);
    if (request.notifiedEarly) {
        return std::string(request.way == Way::Event ? "the event was set" : "the post routine was called") +
               " while the status still read SS_PENDING; " + StatusText(final) + " was stored " +
               std::to_string(request.earlyMs) + " ms later";
    }
    if (request.returned != SS_PENDING && request.returned != final) {
        return "SendASPI32Command returned " + StatusText(request.returned) +
               ", neither SS_PENDING nor the final " + StatusText(final);
    }
    if (request.way == Way::Event) ResetEvent(request.event);
    // Watched for a while: by polling, every status read; otherwise the
    // event, which must not be set again.
    const auto quietEnd = Clock::now() + std::chrono::milliseconds(QuietMs);
    if (request.way == Way::Poll) {
        while (Clock::now() < quietEnd) {
            const BYTE status = RequestStatus(request);
            if (status != request.statusesSeen.back()) request.statusesSeen.push_back(status);
            Sleep(1);
        }
        if (request.statusesSeen.size() > 2 ||
            (request.statusesSeen.size() == 2 && request.statusesSeen[0] != SS_PENDING)) {
            std::string seen;
            for (BYTE status : request.statusesSeen) seen += (seen.empty() ? "" : " -> ") + StatusText(status);
            return "status went " + seen;
        }
        return std::string();
    }
    const bool setAgain = WaitForSingleObject(request.event, QuietMs) == WAIT_OBJECT_0;
    if (RequestStatus(request) != final) {
        return "status changed after completion, from " + StatusText(final) + " to " +
               StatusText(RequestStatus(request));
    }
    if (request.way == Way::Event) {
        return setAgain ? "the event was set again after completion" : std::string();
    }
    const int posts = request.posts.load();
    if (posts != 1) return "post routine called " + std::to_string(posts) + " times";
    if (request.statusAtPost.load() == SS_PENDING) {
        return "post routine called while the status still read SS_PENDING";
    }
    return std::string();
}

void ReleaseRequest(CheckRequest* request, CheckOutcome& outcome) {
    if (request == nullptr) return;
    if (!request->completed) {
        outcome.requestLeftBehind = true;
        return;
    }
    // Nothing is closed or freed: a second completion must meet the
    // request's own event and memory, and show at the end of the run.
    if (request->way == Way::Event) ResetEvent(request->event);
    request->releasedStatus = RequestStatus(*request);
    request->releasedPosts = request->posts.load();
    request->released = true;
}

std::vector<std::string> SecondCompletions() {
    std::vector<std::string> found;
    for (CheckRequest* request = lastSent.load(); request != nullptr; request = request->sentBefore) {
        if (!request->released) continue;
        std::string what;
        const BYTE status = RequestStatus(*request);
        if (status != request->releasedStatus) {
            what = "its status changed from " + StatusText(request->releasedStatus) + " to " + StatusText(status);
        } else if (request->way == Way::Event && WaitForSingleObject(request->event, 0) == WAIT_OBJECT_0) {
            what = "its event was set again";
        } else if (request->way == Way::Post && request->posts.load() != request->releasedPosts) {
            what = "its post routine was called again";
        }
        if (!what.empty()) found.push_back(request->label + " completed again after its completion: " + what);
    }
    std::reverse(found.begin(), found.end());
    return found;
}

bool RunRequest(const Session& session, const UnitAddress& unit, const CommandBlock& command,
                Way way, const Deadline& deadline, const char* what, CheckOutcome& outcome,
                ExecResult& result, bool watch) {
    std::string error;
    CheckRequest* request = SubmitRequest(session.library, unit, command, way, error);
    if (request == nullptr) {
        FailCheck(outcome, std::string("to send ") + what, error);
        return false;
    }
    request->label = UnitSubject(unit) + ", " + what + " by " + WayName(way);
    bool good = AwaitRequest(*request, deadline);
    if (!good) {
        const std::string late = std::string(what) + " gave no answer within the time limit (status " +
                                 StatusText(RequestStatus(*request)) + ")";
        // An abort may still take it back; then it is the library's no more.
        SRB_Abort abort;
        std::memset(&abort, 0, sizeof abort);
        abort.SRB_Cmd = SC_ABORT_SRB;
        abort.SRB_HaId = unit.ha;
        abort.SRB_ToAbort = request->block;
        session.library.sendCommand(&abort);
        if (RequestStatus(*request) == SS_ABORTED && (way == Way::Poll || request->posts.load() > 0 ||
                                                      WaitForSingleObject(request->event, 0) == WAIT_OBJECT_0)) {
            request->completed = true;
        }
        // A unit busy with another program's long command answers late, and
        // so does a unit that hangs; only a request that never completes
        // is the library's fault, which the end of the run tells.
        SkipCheck(outcome, late + (request->completed ? "; taken back by an abort"
                                                      : "; the unit may be busy with a long command"));
        if (!request->completed) outcome.lateRequests.push_back(request);
    } else if (watch) {
        const std::string twice = ConfirmSingleCompletion(*request);
        if (!twice.empty()) {
            FailCheck(outcome, std::string(what) + " completed once by " + WayName(way), twice);
            good = false;
        }
    }
    const SRB_ExecSCSICmd* srb = Block(*request);
    result.status = RequestStatus(*request);
    result.haStat = srb->SRB_HaStat;
    result.targStat = srb->SRB_TargStat;
    const uint8_t* sense = SenseArea(*request);
    result.sense.assign(sense, sense + ValidSenseLength(sense, request->senseLength));
    if (request->completed) {
        const std::string past = GuardDamage(sense + request->senseLength,
                                             "the sense area (SRB_SenseLen " +
                                                 std::to_string(request->senseLength) + ")");
        const std::string pastData =
            command.guard == nullptr ? std::string()
                                     : GuardDamage(command.guard, "the data buffer of " +
                                                                      std::to_string(command.bufferLength) + " bytes");
        if (!past.empty() || !pastData.empty()) {
            FailCheck(outcome, std::string(what) + ": nothing written past the caller's areas",
                      past.empty() ? pastData : past);
            good = false;
        }
    }
    ReleaseRequest(request, outcome);
    return good;
}

Answer ClassifyAnswer(const ExecResult& result) {
    Answer answer;
    const DecodedSense sense = DecodeSense(result.sense.data(), result.sense.size());
    switch (result.status) {
    case SS_COMP:
        if (result.targStat != 0 && result.targStat != 4) {
            answer.kind = AnswerKind::Impossible;
            answer.state = "SS_COMP with target status " + std::to_string(result.targStat);
        } else if (result.targStat == 0 && !result.sense.empty()) {
            answer.kind = AnswerKind::Impossible;
            answer.state = "SS_COMP with sense data: " + DescribeSense(sense);
        }
        return answer;
    case SS_ERR:
        break;
    case SS_NO_DEVICE:
        answer.kind = AnswerKind::Unreachable;
        answer.state = "the library cannot reach the unit (" + ResultText(result) + ")" +
                       UnreachableReason();
        return answer;
    case SS_ILLEGAL_MODE:
        answer.kind = AnswerKind::Refused;
        answer.state = "the system reported a device or bus error (" + ResultText(result) + ")";
        return answer;
    case SS_BUFFER_TO_BIG:
        answer.kind = AnswerKind::TooLarge;
        answer.state = "the transfer is too large for the system (SS_BUFFER_TO_BIG)";
        return answer;
    default:
        answer.kind = AnswerKind::Impossible;
        answer.state = "an execute request ended with " + StatusText(result.status);
        return answer;
    }
    if (SenseCutShort(result.sense)) {
        answer.kind = AnswerKind::Impossible;
        answer.state = "sense data of which only the first 8 bytes arrived: " + DescribeSense(sense) +
                       ", additional length " + std::to_string(result.sense[7]) +
                       ", every byte from 8 on zero";
        return answer;
    }
    answer.kind = AnswerKind::Unit;
    switch (result.targStat) {
    case 0x00:
        if (!result.sense.empty()) {
            // A refusal by the system leaves the sense area zero; sense data
            // comes from the unit, with a target status.
            answer.kind = AnswerKind::Impossible;
            answer.state = "SS_ERR with target status 0 but the unit's sense data (" + DescribeSense(sense) +
                           "): the target status was lost";
            break;
        }
        answer.kind = AnswerKind::Refused;
        answer.state = "the system refused or failed the request: " + ResultText(result);
        break;
    case 0x02:
        answer.state = sense.valid            ? SenseState(sense)
                       : result.sense.empty() ? "CHECK CONDITION without sense data"
                                              : "CHECK CONDITION with " + NonExtendedSense(result.sense);
        break;
    case 0x08:
        answer.state = "unit busy (BUSY)";
        break;
    case 0x18:
        answer.state = "reserved by another initiator (RESERVATION CONFLICT)";
        break;
    default:
        answer.state = "target status " + std::to_string(result.targStat);
        break;
    }
    return answer;
}

bool JudgeAnswer(const ExecResult& result, const std::string& what, CheckOutcome& outcome) {
    const Answer answer = ClassifyAnswer(result);
    switch (answer.kind) {
    case AnswerKind::Done:
        return true;
    case AnswerKind::Impossible:
        FailCheck(outcome, (what.empty() ? "" : what + ": ") + "a status the unit or the system can give",
                  answer.state);
        return false;
    default:
        SkipCheck(outcome, (what.empty() ? "" : what + ": ") + answer.state);
        return false;
    }
}

bool IsPassingCondition(const ExecResult& result) {
    if (result.status != SS_ERR) return false;
    if (result.targStat == 0x08) return true;
    const DecodedSense sense = DecodeSense(result.sense.data(), result.sense.size());
    return result.targStat == 0x02 && sense.valid && !sense.deferred && sense.key == 0x06;
}

bool RunUnitCommand(const Session& session, const UnitAddress& unit, const CommandBlock& command,
                    const Deadline& deadline, const char* what, CheckOutcome& outcome,
                    ExecResult& result) {
    for (int attempt = 1;; ++attempt) {
        if (!RunRequest(session, unit, command, Way::Event, deadline, what, outcome, result)) return false;
        if (attempt == Tries || !IsPassingCondition(result)) return true;
        outcome.note = std::string("after ") + ClassifyAnswer(result).state + ": ";
        if (result.targStat == 0x08) Sleep(std::min<DWORD>(BusyPauseMs, deadline.LeftMs()));
    }
}

RequestBuffer::RequestBuffer(const CheckOutcome& outcome, size_t size, uint16_t alignmentMask,
                             size_t offset)
    : outcome_(outcome), storage_(new (std::nothrow) AlignedBuffer), size_(size), offset_(offset) {
    const uint16_t pageMask = 0xFFF;
    if (storage_ != nullptr &&
        !storage_->Allocate(size + offset + GuardLength, static_cast<uint16_t>(alignmentMask | pageMask))) {
        delete storage_;
        storage_ = nullptr;
    }
    if (storage_ != nullptr) std::memset(storage_->data() + offset + size, GuardByte, GuardLength);
}

RequestBuffer::~RequestBuffer() {
    // Kept, and reachable, until the process ends, whatever became of the
    // check's requests: a library that completes a request again may write
    // into its buffer again.
    (void)outcome_;
    struct Kept {
        AlignedBuffer* buffer;
        Kept* next;
    };
    static std::atomic<Kept*> kept{nullptr};
    Kept* node = new (std::nothrow) Kept{storage_, kept.load()};
    if (node == nullptr) return;
    while (!kept.compare_exchange_weak(node->next, node)) {
    }
}

std::string StatusText(uint8_t status) { return NamedValue(AspiStatusName(status), status); }

std::string ResultText(const ExecResult& result) {
    std::string text = StatusText(result.status) + ", target status " +
                       std::to_string(result.targStat);
    if (result.haStat != 0) text += ", host adapter status " + std::to_string(result.haStat);
    if (!result.sense.empty()) {
        text += ", sense " + DescribeSense(DecodeSense(result.sense.data(), result.sense.size()));
    }
    return text;
}

std::string UnitSubject(const UnitAddress& address) { return "unit " + FormatAddress(address); }

}  // namespace aspitool
