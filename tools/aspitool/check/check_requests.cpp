#include "check_requests.h"

#include "../output.h"
#include "../sense.h"
#include "../srb_requests.h"
#include "guarded_run.h"

#include <cstring>
#include <new>

namespace aspitool {
namespace {

// How long a completed request is watched for a second completion.
const DWORD QuietMs = 20;

// The requests that may be posted now. The post routine trusts nothing the
// library hands it: it looks the address up here, and counts an address
// of no request as a stray post.
const size_t MaxLiveRequests = 64;
std::atomic<CheckRequest*> liveRequests[MaxLiveRequests];
std::atomic<int> strayPosts{0};

// Returns nothing; makes `request` one that the post routine knows.
void Register(CheckRequest* request) {
    for (std::atomic<CheckRequest*>& slot : liveRequests) {
        CheckRequest* empty = nullptr;
        if (slot.compare_exchange_strong(empty, request)) return;
    }
}

// Returns nothing; the post routine forgets `request`.
void Unregister(CheckRequest* request) {
    for (std::atomic<CheckRequest*>& slot : liveRequests) {
        CheckRequest* mine = request;
        if (slot.compare_exchange_strong(mine, nullptr)) return;
    }
}

// Returns nothing; called by the library, on its own thread, for requests
// sent with SRB_POSTING. cdecl: the library removes the argument.
void __cdecl OnPosted(void* srb) {
    for (std::atomic<CheckRequest*>& slot : liveRequests) {
        CheckRequest* request = slot.load();
        if (request == nullptr || static_cast<void*>(request->block) != srb) continue;
        request->postedBlock.store(srb);
        request->statusAtPost.store(RequestStatus(*request));
        request->posts.fetch_add(1);
        SetEvent(request->event);
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

}  // namespace

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

CheckRequest* SubmitRequest(const AspiLibrary& library, const UnitAddress& unit,
                            const CommandBlock& command, Way way, std::string& error) {
    CheckRequest* request = new (std::nothrow) CheckRequest;
    if (request == nullptr) {
        error = "out of memory";
        return nullptr;
    }
    std::memset(request->block, 0, sizeof request->block);
    request->way = way;
    if (way != Way::Poll) {
        request->event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        if (request->event == nullptr) {
            error = "cannot create an event (error " + std::to_string(GetLastError()) + ")";
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
    srb->SRB_SenseLen = CheckSenseLength;
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
    request->returned = static_cast<BYTE>(library.sendCommand(srb));
    return request;
}

bool AwaitRequest(CheckRequest& request, const Deadline& deadline) {
    if (request.way == Way::Poll) {
        request.statusesSeen.push_back(request.returned);
        request.completed = PollFinal(request, deadline);
        return request.completed;
    }
    const DWORD wait = WaitForSingleObject(request.event, deadline.LeftMs());
    request.completed = wait == WAIT_OBJECT_0 && IsFinal(RequestStatus(request));
    return request.completed;
}

std::string ConfirmSingleCompletion(CheckRequest& request) {
    const BYTE final = RequestStatus(request);
    if (!IsPostedStatus(final)) return "an execute request ended with " + StatusText(final);
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
    Unregister(request);
    if (request->event != nullptr) CloseHandle(request->event);
    delete request;
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
    bool good = AwaitRequest(*request, deadline);
    if (!good) {
        FailCheck(outcome, std::string(what) + " completed and notified by " + WayName(way),
                  "no completion within the time limit (status " +
                      StatusText(RequestStatus(*request)) + ")");
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
    const uint8_t* sense = request->block + sizeof(SRB_ExecSCSICmd);
    result.sense.assign(sense, sense + ValidSenseLength(sense, CheckSenseLength));
    ReleaseRequest(request, outcome);
    return good;
}

RequestBuffer::RequestBuffer(const CheckOutcome& outcome, size_t size, uint16_t alignmentMask,
                             size_t offset)
    : outcome_(outcome), storage_(new (std::nothrow) AlignedBuffer), offset_(offset) {
    if (storage_ != nullptr && !storage_->Allocate(size + offset, alignmentMask)) {
        delete storage_;
        storage_ = nullptr;
    }
}

RequestBuffer::~RequestBuffer() {
    if (!outcome_.requestLeftBehind) delete storage_;
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
