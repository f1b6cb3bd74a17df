// Device-type requests and execute requests through the exports, with the
// three ways an application learns of completion.
#include "library_fixture.h"
#include "machines.h"

#include <atomic>

namespace {

const BYTE testUnitReady[6] = {0x00, 0, 0, 0, 0, 0};

class DispatchTest : public LibraryTest {
protected:
    void SetUp() override {
        LibraryTest::SetUp();
        if (IsSkipped()) return;
        Install(busyWorkerMachine);
        ASSERT_TRUE(Load());
    }
};

TEST_P(DispatchTest, DeviceTypeFoundAndNotFound) {
    SRB_GDEVBlock srb;
    std::memset(&srb, 0, sizeof srb);
    srb.SRB_Cmd = SC_GET_DEV_TYPE;
    srb.SRB_Target = 2;
    srb.SRB_DeviceType = 0x33;
    EXPECT_EQ(Send(&srb), static_cast<DWORD>(SS_COMP));
    EXPECT_EQ(srb.SRB_DeviceType, 0x7F);  // qualifier bits reported as received

    srb.SRB_Target = 0;
    EXPECT_EQ(Send(&srb), static_cast<DWORD>(SS_COMP));
    EXPECT_EQ(srb.SRB_DeviceType, 0x00);

    srb.SRB_Target = 0;
    srb.SRB_Lun = 1;
    srb.SRB_DeviceType = 0x33;
    EXPECT_EQ(Send(&srb), static_cast<DWORD>(SS_NO_DEVICE));
    EXPECT_EQ(srb.SRB_DeviceType, 0x33);
    EXPECT_EQ(srb.SRB_Rsvd1, 0);
}

TEST_P(DispatchTest, ExecuteToAnAbsentUnitCompletesWithSelectionTimeout) {
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    ExecRequest request;
    PrepareExec(request, 0, 5, 0, SRB_EVENT_NOTIFY, testUnitReady, 6, nullptr, 0);
    request.Srb.SRB_PostProc = event;
    DWORD result = Send(&request.Srb);
    EXPECT_TRUE(result == SS_PENDING || result == SS_NO_DEVICE) << result;
    ASSERT_EQ(WaitForSingleObject(event, 5000), WAIT_OBJECT_0);
    EXPECT_EQ(request.Srb.SRB_Status, SS_NO_DEVICE);
    EXPECT_EQ(request.Srb.SRB_HaStat, HASTAT_SEL_TO);
    EXPECT_EQ(request.Srb.SRB_TargStat, 0);
    CloseHandle(event);
}

std::atomic<int> postCalls{0};
std::atomic<BYTE> statusSeenByPost{0xFF};
void* postedBlock = nullptr;

void __cdecl CountingPostRoutine(void* srb) {
    postedBlock = srb;
    statusSeenByPost = static_cast<SRB_ExecSCSICmd*>(srb)->SRB_Status;
    ++postCalls;
}

TEST_P(DispatchTest, CompletionByEventByPostRoutineAndByPolling) {
    // Event.
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    ExecRequest byEvent;
    PrepareExec(byEvent, 0, 2, 0, SRB_EVENT_NOTIFY | SRB_DIR_IN, testUnitReady, 6, nullptr, 0);
    byEvent.Srb.SRB_PostProc = event;
    Send(&byEvent.Srb);
    ASSERT_EQ(WaitForSingleObject(event, 5000), WAIT_OBJECT_0);
    EXPECT_EQ(byEvent.Srb.SRB_Status, SS_COMP);

    // Post routine: called once, with the block's address, after the final
    // status is stored; the routine leaves its argument for the caller.
    postCalls = 0;
    ExecRequest byPost;
    PrepareExec(byPost, 0, 2, 0, SRB_POSTING, testUnitReady, 6, nullptr, 0);
    byPost.Srb.SRB_PostProc = reinterpret_cast<void*>(&CountingPostRoutine);
    Send(&byPost.Srb);
    EXPECT_EQ(PollStatus(&byPost.Srb, 5000), SS_COMP);
    for (int i = 0; i < 5000 && postCalls.load() == 0; ++i) Sleep(1);
    EXPECT_EQ(postCalls.load(), 1);
    EXPECT_EQ(statusSeenByPost.load(), SS_COMP);
    EXPECT_EQ(postedBlock, &byPost.Srb);

    // Polling alone.
    ExecRequest byPolling;
    PrepareExec(byPolling, 0, 2, 0, 0, testUnitReady, 6, nullptr, 0);
    Send(&byPolling.Srb);
    EXPECT_EQ(PollStatus(&byPolling.Srb, 5000), SS_COMP);

    // Both bits: the event only.
    ResetEvent(event);
    postCalls = 0;
    ExecRequest both;
    PrepareExec(both, 0, 2, 0, SRB_EVENT_NOTIFY | SRB_POSTING, testUnitReady, 6, nullptr, 0);
    both.Srb.SRB_PostProc = event;
    Send(&both.Srb);
    ASSERT_EQ(WaitForSingleObject(event, 5000), WAIT_OBJECT_0);
    EXPECT_EQ(both.Srb.SRB_Status, SS_COMP);
    EXPECT_EQ(postCalls.load(), 0);
    CloseHandle(event);
}

TEST_P(DispatchTest, ReadsDataFromAClaimedDiskThroughItsClassDevice) {
    BYTE data[512];
    std::memset(data, 0xEE, sizeof data);
    const BYTE read10[10] = {0x28, 0, 0, 0, 0, 3, 0, 0, 1, 0};
    ExecRequest request;
    PrepareExec(request, 0, 0, 0, SRB_DIR_IN, read10, 10, data, sizeof data);
    Send(&request.Srb);
    ASSERT_EQ(PollStatus(&request.Srb, 5000), SS_COMP);
    EXPECT_EQ(request.Srb.SRB_HaStat, 0);
    EXPECT_EQ(request.Srb.SRB_TargStat, 0);
    for (BYTE byte : data) ASSERT_EQ(byte, 0);  // a fresh memory disk reads zeros
}

}  // namespace

LIBRARY_TEST_SUITE(DispatchTest);
