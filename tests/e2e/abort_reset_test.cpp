// Abort and reset requests through the exports.
#include "library_fixture.h"
#include "machines.h"

#include <atomic>

namespace {

const BYTE testUnitReady[6] = {0x00, 0, 0, 0, 0, 0};

std::atomic<int> abortedPosts{0};
std::atomic<BYTE> abortedStatusSeen{0xFF};

void __cdecl RecordAbortedPost(void* srb) {
    abortedStatusSeen = static_cast<SRB_ExecSCSICmd*>(srb)->SRB_Status;
    ++abortedPosts;
}

DWORD resetPostThread = 0;
BYTE resetStatusSeen = 0xFF;

void __cdecl RecordResetPost(void* srb) {
    resetPostThread = GetCurrentThreadId();
    resetStatusSeen = static_cast<SRB_BusDeviceReset*>(srb)->SRB_Status;
}

class AbortResetTest : public LibraryTest {
protected:
    void SetUp() override {
        LibraryTest::SetUp();
        if (IsSkipped()) return;
        Install(busyWorkerMachine);
        ASSERT_TRUE(Load());
    }
    void TearDown() override {
        sim::ReleaseHangs();
        LibraryTest::TearDown();
    }
};

TEST_P(AbortResetTest, AbortOfAQueuedRequestIsPostedBeforeTheCallReturns) {
    ExecRequest busy;
    PrepareExec(busy, 0, 1, 0, 0, testUnitReady, 6, nullptr, 0);
    Send(&busy.Srb);  // hangs in the unit: the worker is busy from now on
    ASSERT_TRUE(WorkerHangs());

    ExecRequest queued;
    PrepareExec(queued, 0, 2, 0, SRB_POSTING, testUnitReady, 6, nullptr, 0);
    queued.Srb.SRB_PostProc = reinterpret_cast<void*>(&RecordAbortedPost);
    queued.Srb.SRB_HaStat = 0x55;
    queued.Srb.SRB_TargStat = 0x55;
    ASSERT_EQ(Send(&queued.Srb), static_cast<DWORD>(SS_PENDING));

    abortedPosts = 0;
    SRB_Abort abort;
    std::memset(&abort, 0, sizeof abort);
    abort.SRB_Cmd = SC_ABORT_SRB;
    abort.SRB_ToAbort = &queued.Srb;
    EXPECT_EQ(Send(&abort), static_cast<DWORD>(SS_COMP));
    EXPECT_EQ(abortedPosts.load(), 1);
    EXPECT_EQ(abortedStatusSeen.load(), SS_ABORTED);
    EXPECT_EQ(queued.Srb.SRB_Status, SS_ABORTED);
    EXPECT_EQ(queued.Srb.SRB_HaStat, 0);
    EXPECT_EQ(queued.Srb.SRB_TargStat, 0);

    // Aborting the running request or one never submitted finds nothing.
    abort.SRB_ToAbort = &busy.Srb;
    EXPECT_EQ(Send(&abort), static_cast<DWORD>(SS_COMP));
    EXPECT_EQ(busy.Srb.SRB_Status, SS_PENDING);
    ExecRequest never;
    PrepareExec(never, 0, 2, 0, 0, testUnitReady, 6, nullptr, 0);
    never.Srb.SRB_Status = 0x77;
    abort.SRB_ToAbort = &never.Srb;
    EXPECT_EQ(Send(&abort), static_cast<DWORD>(SS_COMP));
    EXPECT_EQ(never.Srb.SRB_Status, 0x77);

    sim::ReleaseHangs();
    EXPECT_NE(PollStatus(&busy.Srb, 5000), SS_PENDING);
    EXPECT_EQ(abortedPosts.load(), 1);  // the aborted request is never run
}

TEST_P(AbortResetTest, ResetCompletesAtOnceOnTheCallingThread) {
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    SRB_BusDeviceReset reset;
    std::memset(&reset, 0xC3, sizeof reset);
    reset.SRB_Cmd = SC_RESET_DEV;
    reset.SRB_HaId = 0;
    reset.SRB_Flags = SRB_EVENT_NOTIFY;
    reset.SRB_PostProc = event;
    EXPECT_EQ(Send(&reset), static_cast<DWORD>(SS_COMP));
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
    EXPECT_EQ(reset.SRB_Status, SS_COMP);
    EXPECT_EQ(reset.SRB_HaStat, 0xC3);  // nothing else is written
    EXPECT_EQ(reset.SRB_TargStat, 0xC3);
    CloseHandle(event);

    reset.SRB_Flags = SRB_POSTING;
    reset.SRB_PostProc = reinterpret_cast<void*>(&RecordResetPost);
    reset.SRB_Status = 0;
    EXPECT_EQ(Send(&reset), static_cast<DWORD>(SS_COMP));
    EXPECT_EQ(resetPostThread, GetCurrentThreadId());
    EXPECT_EQ(resetStatusSeen, SS_COMP);
}

TEST_P(AbortResetTest, AbortWhoseLockWaitFailsIsAnInvalidRequest) {
    ExecRequest queued;
    PrepareExec(queued, 0, 2, 0, 0, testUnitReady, 6, nullptr, 0);
    SRB_Abort abort;
    std::memset(&abort, 0, sizeof abort);
    abort.SRB_Cmd = SC_ABORT_SRB;
    abort.SRB_ToAbort = &queued.Srb;
    sim::ResetCallCounts();
    sim::FailCall(sim::Call::WaitForSingleObject, 1, ERROR_INVALID_HANDLE);
    EXPECT_EQ(Send(&abort), static_cast<DWORD>(SS_INVALID_SRB));
    EXPECT_EQ(abort.SRB_Status, SS_INVALID_SRB);
    EXPECT_EQ(sim::CallCount(sim::Call::WaitForSingleObject), 1u);
}

}  // namespace

LIBRARY_TEST_SUITE(AbortResetTest);
