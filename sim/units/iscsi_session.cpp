#include "sim/units/iscsi_session.h"

#include <iscsi/iscsi.h>
#include <iscsi/scsi-lowlevel.h>

#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>

namespace sim::units {

// One login to one target; every unit of that target holds it. One
// command has the session at a time (Busy): libiscsi's context is not
// thread-safe, and a command that ends the session must not pull it from
// under another. Lock guards Busy; Context belongs to the command that
// holds the session.
struct IscsiSession {
    std::mutex Lock;
    std::condition_variable Free;
    bool Busy = false;
    std::string Portal;
    std::string Target;
    std::string Initiator;
    iscsi_context* Context = nullptr;  // null: broken, log in before the next command

    ~IscsiSession() {
        if (Context != nullptr) iscsi_destroy_context(Context);
    }
};

IscsiCancel::IscsiCancel() : Fd(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

IscsiCancel::~IscsiCancel() {
    if (Fd >= 0) close(Fd);
}

void CancelIscsiWaits(IscsiSession& session, IscsiCancel& cancel) {
    cancel.Fired = true;
    const uint64_t one = 1;
    if (cancel.Fd >= 0 && write(cancel.Fd, &one, sizeof one) < 0) {
        // A full counter is readable already.
    }
    std::lock_guard<std::mutex> hold(session.Lock);
    session.Free.notify_all();
}

namespace {

using Clock = std::chrono::steady_clock;

// One asynchronous step: set by its callback, read after the poll loop.
struct Step {
    bool Done = false;
    int Status = 0;
    std::string Error;  // libiscsi's message when it failed
};

// Returns nothing: libiscsi's completion callback for a Step. The
// context's message is taken now: libiscsi overwrites it with a vaguer one
// ("Can not reconnect right now") before iscsi_service returns.
void StepDone(iscsi_context* context, int status, void*, void* privateData) {
    Step* step = static_cast<Step*>(privateData);
    step->Done = true;
    step->Status = status;
    if (status != SCSI_STATUS_GOOD) step->Error = iscsi_get_error(context);
}

enum class Wait { Done, TimedOut, Lost, Cancelled };

// Returns how the wait for `step` ended: services the context's socket
// until the step completes, the connection fails, the deadline passes or
// `cancel` (may be null) fires. No call here blocks past the deadline.
Wait Pump(iscsi_context* context, const Step& step, Clock::time_point deadline,
          const IscsiCancel* cancel) {
    while (!step.Done) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) return Wait::TimedOut;
        pollfd watched[2] = {{iscsi_get_fd(context), static_cast<short>(iscsi_which_events(context)), 0},
                             {cancel != nullptr ? cancel->Fd : -1, POLLIN, 0}};
        if (watched[0].fd < 0) return Wait::Lost;
        if (cancel != nullptr && cancel->Fired) return Wait::Cancelled;
        const int slice = left.count() < 1000 ? static_cast<int>(left.count()) : 1000;
        const int ready = poll(watched, 2, watched[0].events == 0 ? (slice < 100 ? slice : 100) : slice);
        if (ready < 0 && errno != EINTR) return Wait::Lost;
        if (watched[1].revents != 0) return Wait::Cancelled;
        if (iscsi_service(context, ready > 0 ? watched[0].revents : 0) < 0) {
            return step.Done ? Wait::Done : Wait::Lost;
        }
    }
    return Wait::Done;
}

// Returns false when the idle session's connection is gone: the target
// closed it (a restart, a session it dropped) while no command ran. What
// the target sent meanwhile (its pings) is serviced here. libiscsi itself
// only defers its reconnect on a closed socket, so the socket is asked.
bool StillConnected(iscsi_context* context) {
    const int fd = iscsi_get_fd(context);
    for (int pending = 0; fd >= 0 && pending < 16; ++pending) {
        char byte;
        const ssize_t got = recv(fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
        if (got < 0) return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
        if (got == 0 || iscsi_service(context, POLLIN) < 0 || iscsi_get_fd(context) != fd) break;
    }
    return false;
}

// Returns the deadline `seconds` from now; 0 seconds: none.
Clock::time_point DeadlineAfter(uint32_t seconds) {
    if (seconds == 0) return Clock::time_point::max();
    return Clock::now() + std::chrono::seconds(seconds);
}

// Returns false with a message unless the step ran to a GOOD status.
bool RunStep(iscsi_context* context, const Step& step, Clock::time_point deadline,
             const IscsiCancel* cancel, const char* what, std::string& error) {
    const Wait wait = Pump(context, step, deadline, cancel);
    if (wait == Wait::TimedOut || wait == Wait::Cancelled) {
        error = std::string(what) +
                (wait == Wait::TimedOut ? " did not finish in time" : ": the unit was released");
        return false;
    }
    if (wait == Wait::Lost || step.Status != SCSI_STATUS_GOOD) {
        error = std::string(what) + " failed: " +
                (step.Error.empty() ? std::string(iscsi_get_error(context)) : step.Error);
        return false;
    }
    return true;
}

// Returns a context connected and logged in to the session's target, or
// null with a message; bounded by `deadline` and `cancel` (may be null).
iscsi_context* LogIn(const IscsiSession& session, Clock::time_point deadline,
                     const IscsiCancel* cancel, std::string& error) {
    iscsi_context* context = iscsi_create_context(session.Initiator.c_str());
    if (context == nullptr) {
        error = "libiscsi cannot create a context";
        return nullptr;
    }
    // libiscsi writes data-out payloads with writev, which raises SIGPIPE
    // on a connection the target has closed; a Windows process knows no
    // such signal, so the process ignores it and the write fails instead.
    static std::once_flag ignorePipe;
    std::call_once(ignorePipe, [] { signal(SIGPIPE, SIG_IGN); });
    // Errors must reach the caller: libiscsi's own reconnect would hide a
    // lost target behind commands queued without end.
    iscsi_set_noautoreconnect(context, 1);
    iscsi_set_targetname(context, session.Target.c_str());
    iscsi_set_session_type(context, ISCSI_SESSION_NORMAL);
    iscsi_set_header_digest(context, ISCSI_HEADER_DIGEST_NONE_CRC32C);
    Step connected, loggedIn;
    bool ok = iscsi_connect_async(context, session.Portal.c_str(), StepDone, &connected) == 0;
    if (!ok) error = std::string("connect failed: ") + iscsi_get_error(context);
    ok = ok && RunStep(context, connected, deadline, cancel, "connect", error);
    if (ok && iscsi_login_async(context, StepDone, &loggedIn) != 0) {
        error = std::string("login failed: ") + iscsi_get_error(context);
        ok = false;
    }
    ok = ok && RunStep(context, loggedIn, deadline, cancel, "login", error);
    if (!ok) {
        iscsi_destroy_context(context);  // may still call back: the steps live on
        return nullptr;
    }
    return context;
}

// Returns nothing: drops the session's connection, so that the next
// command logs in again. Callbacks of tasks still queued run here.
void Break(IscsiSession& session) {
    if (session.Context != nullptr) iscsi_destroy_context(session.Context);
    session.Context = nullptr;
}

// The process's sessions by portal, target and initiator; an entry whose
// last unit went has expired.
struct SessionTable {
    std::mutex Lock;
    std::map<std::string, std::weak_ptr<IscsiSession>> Sessions;
};

// Returns the one table of the process.
SessionTable& Table() {
    static SessionTable* table = new SessionTable;  // outlives every thread
    return *table;
}

}  // namespace

bool ParseIscsiUrl(const std::string& url, IscsiAddress& address, std::string& error) {
    iscsi_context* context = iscsi_create_context(DefaultIscsiInitiator);
    if (context == nullptr) {
        error = "libiscsi cannot create a context";
        return false;
    }
    iscsi_url* parsed = iscsi_parse_full_url(context, url.c_str());
    if (parsed == nullptr) {
        error = std::string("not an iSCSI URL: ") + iscsi_get_error(context);
        iscsi_destroy_context(context);
        return false;
    }
    address.portal = parsed->portal;
    address.target = parsed->target;
    address.lun = parsed->lun;
    iscsi_destroy_url(parsed);
    iscsi_destroy_context(context);
    return true;
}

std::shared_ptr<IscsiSession> OpenIscsiSession(const IscsiAddress& address,
                                               const std::string& initiator,
                                               uint32_t timeoutSeconds, std::string& error) {
    const std::string key = address.portal + '\n' + address.target + '\n' + initiator;
    SessionTable& table = Table();
    // Held through the login, so that two units of one target never log in
    // twice; installing a machine is the only caller.
    std::lock_guard<std::mutex> hold(table.Lock);
    if (std::shared_ptr<IscsiSession> shared = table.Sessions[key].lock()) return shared;
    auto session = std::make_shared<IscsiSession>();
    session->Portal = address.portal;
    session->Target = address.target;
    session->Initiator = initiator;
    session->Context = LogIn(*session, DeadlineAfter(timeoutSeconds), nullptr, error);
    if (session->Context == nullptr) {
        error += " (" + std::to_string(timeoutSeconds) + " s allowed)";
        return nullptr;
    }
    table.Sessions[key] = session;
    return session;
}

namespace {

// Returns how the wait for the session's turn ended; Done: the caller
// holds it and must hand it back with GiveBack.
Wait TakeTurn(IscsiSession& session, Clock::time_point deadline, const IscsiCancel* cancel) {
    std::unique_lock<std::mutex> hold(session.Lock);
    while (session.Busy) {
        if (cancel != nullptr && cancel->Fired) return Wait::Cancelled;
        const Clock::time_point now = Clock::now();
        if (now >= deadline) return Wait::TimedOut;
        // In slices: a far deadline overflows a 32-bit time_t.
        session.Free.wait_until(hold, std::min(deadline, now + std::chrono::seconds(1)));
    }
    session.Busy = true;
    return Wait::Done;
}

// Returns nothing: ends the caller's turn on the session.
void GiveBack(IscsiSession& session) {
    std::lock_guard<std::mutex> hold(session.Lock);
    session.Busy = false;
    session.Free.notify_all();
}

// Returns nothing: fills `outcome` with the platform error of a command
// that did not run to a status, and `error` (may be null) with why.
void Fail(Wait wait, const std::string& why, ScsiOutcome& outcome, std::string* error) {
    outcome.platformError = wait == Wait::TimedOut ? ERROR_SEM_TIMEOUT : ERROR_DEVICE_NOT_CONNECTED;
    if (error != nullptr) *error = why;
}

// Returns nothing: runs the command on the session the caller holds.
void RunHeld(IscsiSession& session, int lun, const ScsiCommand& command,
             Clock::time_point deadline, IscsiCancel* cancel, ScsiOutcome& outcome,
             std::string* error) {
    std::string message;
    if (session.Context != nullptr && !StillConnected(session.Context)) Break(session);
    if (session.Context == nullptr) {
        session.Context = LogIn(session, deadline, cancel, message);
        if (session.Context == nullptr) return Fail(Wait::Lost, message, outcome, error);
    }
    const bool in = command.direction == DataDirection::In;
    const bool out = command.direction == DataDirection::Out;
    const uint32_t length = in || out ? command.dataLength : 0;
    scsi_task* task = scsi_create_task(command.cdbLength, const_cast<uint8_t*>(command.cdb),
                                       in ? SCSI_XFER_READ : out ? SCSI_XFER_WRITE : SCSI_XFER_NONE,
                                       static_cast<int>(length));
    if (task == nullptr) {
        outcome.platformError = ERROR_NOT_ENOUGH_MEMORY;
        return;
    }
    // The caller's buffer itself takes the data in: no copy. libiscsi
    // steps past the empty first piece when the first byte arrives, which
    // tells a refusal from a transfer.
    if (in && length > 0 &&
        (scsi_task_add_data_in_buffer(task, 0, command.data) != 0 ||
         scsi_task_add_data_in_buffer(task, static_cast<int>(length), command.data) != 0)) {
        scsi_free_scsi_task(task);
        outcome.platformError = ERROR_NOT_ENOUGH_MEMORY;
        return;
    }
    iscsi_data dataOut = {length, command.data};
    Step done;
    Wait wait = Wait::Lost;
    if (iscsi_scsi_command_async(session.Context, lun, task, StepDone,
                                 out && length > 0 ? &dataOut : nullptr, &done) == 0) {
        wait = Pump(session.Context, done, deadline, cancel);
    }
    if (wait == Wait::Done && done.Status >= 0 && done.Status <= 0xFF) {
        outcome.status = static_cast<uint8_t>(done.Status);
        if (done.Status == StatusCheckCondition) {
            outcome.sense = IscsiSenseBytes(task->datain.data, static_cast<size_t>(task->datain.size));
        }
        outcome.bytesMoved = IscsiBytesMoved(length, task->residual_status, task->residual,
                                             in && task->iovector_in.consumed == 0);
        scsi_free_scsi_task(task);
        return;
    }
    // The command may have run at the target; what it did is unknown, so
    // the connection goes with it rather than answer a stale task later.
    message = wait == Wait::TimedOut    ? "no answer in time"
              : wait == Wait::Cancelled ? "the unit was released"
              : !done.Error.empty()     ? done.Error
                                        : std::string(iscsi_get_error(session.Context));
    Break(session);
    scsi_free_scsi_task(task);
    Fail(wait, message, outcome, error);
}

}  // namespace

void RunIscsiCommand(IscsiSession& session, int lun, const ScsiCommand& command,
                     uint32_t limitSeconds, IscsiCancel* cancel, ScsiOutcome& outcome,
                     std::string* error) {
    outcome = ScsiOutcome();
    const Clock::time_point deadline = DeadlineAfter(limitSeconds);
    const Wait turn = TakeTurn(session, deadline, cancel);
    if (turn != Wait::Done) {
        return Fail(turn, turn == Wait::TimedOut ? "the session stayed busy" : "the unit was released",
                    outcome, error);
    }
    RunHeld(session, lun, command, deadline, cancel, outcome, error);
    GiveBack(session);
}

uint32_t IscsiCommandLimit(uint32_t commandSeconds, uint32_t unitSeconds) {
    return commandSeconds != 0 && commandSeconds < unitSeconds ? commandSeconds : unitSeconds;
}

uint32_t IscsiBytesMoved(uint32_t length, int residualStatus, size_t residual, bool noneArrived) {
    if (noneArrived) return 0;
    if (residualStatus == SCSI_RESIDUAL_UNDERFLOW) {
        return residual < length ? length - static_cast<uint32_t>(residual) : 0;
    }
    return length;
}

std::vector<uint8_t> IscsiSenseBytes(const uint8_t* segment, size_t size) {
    if (segment == nullptr || size < 2) return {};
    const size_t length = static_cast<size_t>(segment[0]) << 8 | segment[1];
    if (length > size - 2) return {};
    return std::vector<uint8_t>(segment + 2, segment + 2 + length);
}

bool ClaimedByClassDriver(uint8_t peripheral) {
    switch (peripheral & 0x1F) {
    case 0x00:  // direct access: the disk class driver
    case 0x01:  // sequential access: tape
    case 0x04:  // write-once: the disk class driver
    case 0x05:  // CD-ROM
    case 0x06:  // scanner
    case 0x07:  // optical memory: the disk class driver
        return true;
    default:
        return false;
    }
}

}  // namespace sim::units
