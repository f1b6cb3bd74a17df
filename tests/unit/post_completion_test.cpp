// The completion posting rule, and the promise that a block is not read
// once its final status is stored (a polling caller may reuse it then).
#include "interface/srb.h"
#include "sim/kernel/handles.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/mman.h>
#include <ucontext.h>
#include <unistd.h>

#include <cstring>

namespace {

int routineCalls = 0;
void* routineArgument = nullptr;
BYTE statusSeenByRoutine = 0;

void __cdecl RecordingRoutine(void* srb) {
    ++routineCalls;
    routineArgument = srb;
    statusSeenByRoutine = static_cast<SRB_ExecSCSICmd*>(srb)->SRB_Status;
}

// A routine that does not look at the block: the watch below would take
// the routine's own reads for the library's.
void __cdecl CountingRoutine(void* srb) {
    ++routineCalls;
    routineArgument = srb;
}

class PostCompletionTest : public ::testing::Test {
protected:
    void SetUp() override {
        routineCalls = 0;
        routineArgument = nullptr;
        statusSeenByRoutine = 0;
        event_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        ASSERT_NE(event_, nullptr);
    }
    void TearDown() override { CloseHandle(event_); }

    SRB_ExecSCSICmd Block(BYTE flags, void* postProc) {
        SRB_ExecSCSICmd srb;
        std::memset(&srb, 0, sizeof srb);
        srb.SRB_Cmd = SC_EXEC_SCSI_CMD;
        srb.SRB_Flags = flags;
        srb.SRB_PostProc = postProc;
        return srb;
    }

    HANDLE event_ = nullptr;
};

TEST_F(PostCompletionTest, EventTakesPrecedenceAndTheRoutineGetsTheBlockAfterItsStatus) {
    SRB_ExecSCSICmd both = Block(SRB_EVENT_NOTIFY | SRB_POSTING | SRB_DIR_IN, event_);
    PostCompletion(&both, SS_ERR);
    EXPECT_EQ(both.SRB_Status, SS_ERR);
    EXPECT_EQ(WaitForSingleObject(event_, 0), WAIT_OBJECT_0);
    EXPECT_EQ(routineCalls, 0);

    SRB_ExecSCSICmd routine =
        Block(SRB_POSTING, reinterpret_cast<void*>(&RecordingRoutine));
    PostCompletion(&routine, SS_COMP);
    EXPECT_EQ(routineCalls, 1);
    EXPECT_EQ(routineArgument, &routine);
    EXPECT_EQ(statusSeenByRoutine, SS_COMP);

    ResetEvent(event_);
    SRB_ExecSCSICmd neither = Block(SRB_DIR_IN | 0x10 | 0x04, event_);
    PostCompletion(&neither, SS_ABORTED);
    EXPECT_EQ(neither.SRB_Status, SS_ABORTED);
    EXPECT_EQ(WaitForSingleObject(event_, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_EQ(routineCalls, 1);
}

TEST_F(PostCompletionTest, BadEventHandleAndNullRoutineAreSilent) {
    SRB_ExecSCSICmd badEvent = Block(SRB_EVENT_NOTIFY, reinterpret_cast<void*>(0x7FF0));
    PostCompletion(&badEvent, SS_COMP);
    EXPECT_EQ(badEvent.SRB_Status, SS_COMP);

    // A null post routine would take the host application down; nothing is
    // called.
    SRB_ExecSCSICmd nullRoutine = Block(SRB_POSTING, nullptr);
    PostCompletion(&nullRoutine, SS_COMP);
    EXPECT_EQ(nullRoutine.SRB_Status, SS_COMP);
}

// Watches a block alone on its page: the page is read-only until the final
// status is stored, then inaccessible. The store faults once (the handler
// opens the page and single-steps the store); the trap after it closes the
// page; any later access of the block is counted and let through.
long pageSize = 0;
BYTE* watchedPage = nullptr;
volatile sig_atomic_t statusStored = 0;
volatile sig_atomic_t accessesAfterStore = 0;
constexpr greg_t TrapFlag = 0x100;

void OnSegmentationFault(int, siginfo_t*, void* context) {
    ucontext_t* machine = static_cast<ucontext_t*>(context);
    if (!statusStored) {
        statusStored = 1;
        machine->uc_mcontext.gregs[REG_EFL] |= TrapFlag;
    } else {
        ++accessesAfterStore;
    }
    mprotect(watchedPage, pageSize, PROT_READ | PROT_WRITE);
}

void OnTrap(int, siginfo_t*, void* context) {
    ucontext_t* machine = static_cast<ucontext_t*>(context);
    machine->uc_mcontext.gregs[REG_EFL] &= ~TrapFlag;
    mprotect(watchedPage, pageSize, PROT_NONE);
}

class WatchedBlock {
public:
    WatchedBlock() {
        pageSize = sysconf(_SC_PAGESIZE);
        void* page = mmap(nullptr, pageSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS,
                          -1, 0);
        watchedPage = static_cast<BYTE*>(page);
        statusStored = 0;
        accessesAfterStore = 0;
    }
    ~WatchedBlock() { munmap(watchedPage, pageSize); }

    SRB_ExecSCSICmd* Srb() { return reinterpret_cast<SRB_ExecSCSICmd*>(watchedPage); }

    // Runs PostCompletion with the page watched; returns the accesses of
    // the block after the final status was stored.
    int Post(BYTE status) {
        struct sigaction onFault = {}, onTrap = {}, oldFault = {}, oldTrap = {};
        onFault.sa_sigaction = OnSegmentationFault;
        onFault.sa_flags = SA_SIGINFO;
        onTrap.sa_sigaction = OnTrap;
        onTrap.sa_flags = SA_SIGINFO;
        sigaction(SIGSEGV, &onFault, &oldFault);
        sigaction(SIGTRAP, &onTrap, &oldTrap);
        mprotect(watchedPage, pageSize, PROT_READ);
        PostCompletion(Srb(), status);
        mprotect(watchedPage, pageSize, PROT_READ | PROT_WRITE);
        sigaction(SIGSEGV, &oldFault, nullptr);
        sigaction(SIGTRAP, &oldTrap, nullptr);
        return accessesAfterStore;
    }
};

TEST_F(PostCompletionTest, BlockIsNotTouchedAfterItsFinalStatusIsStored) {
    struct Case {
        BYTE Flags;
        void* PostProc;
    } cases[] = {
        {0, nullptr},
        {SRB_DIR_IN, reinterpret_cast<void*>(&CountingRoutine)},
        {SRB_EVENT_NOTIFY, event_},
        {SRB_POSTING, reinterpret_cast<void*>(&CountingRoutine)},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(static_cast<int>(test.Flags));
        WatchedBlock block;
        std::memset(block.Srb(), 0, SRB_EXEC_HEADER_LEN);
        block.Srb()->SRB_Flags = test.Flags;
        block.Srb()->SRB_PostProc = test.PostProc;
        routineCalls = 0;
        ResetEvent(event_);

        EXPECT_EQ(block.Post(SS_COMP), 0);
        EXPECT_EQ(statusStored, 1);
        EXPECT_EQ(block.Srb()->SRB_Status, SS_COMP);
        EXPECT_EQ(routineCalls, test.Flags == SRB_POSTING ? 1 : 0);
        EXPECT_EQ(WaitForSingleObject(event_, 0),
                  test.Flags == SRB_EVENT_NOTIFY ? WAIT_OBJECT_0 : WAIT_TIMEOUT);
    }
}

}  // namespace
