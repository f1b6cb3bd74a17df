// Loading and unloading the library: the entry routine's reason codes, a
// failed load, unload with requests queued, and repeated loads that leave
// nothing behind.
#include "library_fixture.h"
#include "machines.h"
#include "sim/loader/loader.h"
#include "sim/kernel/threads.h"

#include <cerrno>

namespace {

const BYTE testUnitReady[6] = {0x00, 0, 0, 0, 0, 0};

class LoadUnloadTest : public LibraryTest {};

TEST_P(LoadUnloadTest, FailsToLoadWhenTheWorkerCannotStartAndLeavesNothingOpen) {
    Install(busyWorkerMachine);
    const size_t handlesBefore = sim::OpenHandleCount();
    sim::FailCall(sim::Call::BeginThread, 1, EAGAIN);
    sim::ResetCallCounts();
    EXPECT_FALSE(Load());
    EXPECT_EQ(module_, nullptr);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_DLL_INIT_FAILED));
    EXPECT_EQ(sim::LoadedModuleCount(), 0u);  // detached and unloaded
    EXPECT_EQ(sim::LoadedModuleCount(), 0u);
    EXPECT_EQ(sim::CallCount(sim::Call::CreateFileA), 0u);  // no scan ran
    EXPECT_EQ(sim::OpenHandleCount(), handlesBefore);
    EXPECT_EQ(sim::LiveThreadCount(), 0u);

    for (sim::Call call : {sim::Call::CreateEventA, sim::Call::CreateMutexA}) {
        sim::FailCall(call, 1, ERROR_NOT_ENOUGH_MEMORY);
        EXPECT_FALSE(Load()) << sim::CallName(call);
        EXPECT_EQ(sim::OpenHandleCount(), handlesBefore);
    }
    // The next load works as if nothing had happened.
    ASSERT_TRUE(Load());
    EXPECT_EQ(SupportInfo(), 0x00000101u);
}

TEST_P(LoadUnloadTest, ThreadNotificationsChangeNothing) {
    Install(busyWorkerMachine);
    ASSERT_TRUE(Load());
    EXPECT_EQ(sim::CallEntryPoint(module_, DLL_THREAD_ATTACH), TRUE);
    EXPECT_EQ(sim::CallEntryPoint(module_, DLL_THREAD_DETACH), TRUE);
    EXPECT_EQ(SupportInfo(), 0x00000101u);
    SRB_GDEVBlock srb;
    std::memset(&srb, 0, sizeof srb);
    srb.SRB_Cmd = SC_GET_DEV_TYPE;
    srb.SRB_Target = 2;
    EXPECT_EQ(Send(&srb), static_cast<DWORD>(SS_COMP));
}

TEST_P(LoadUnloadTest, UnloadLeavesQueuedRequestsPendingAndNeverPostsThem) {
    Install(busyWorkerMachine);
    ASSERT_TRUE(Load());
    ExecRequest busy;
    PrepareExec(busy, 0, 1, 0, 0, testUnitReady, 6, nullptr, 0);
    Send(&busy.Srb);
    ASSERT_TRUE(WorkerHangs());

    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    ExecRequest queued;
    PrepareExec(queued, 0, 2, 0, SRB_EVENT_NOTIFY, testUnitReady, 6, nullptr, 0);
    queued.Srb.SRB_PostProc = event;
    ASSERT_EQ(Send(&queued.Srb), static_cast<DWORD>(SS_PENDING));

    Unload();  // the worker is stuck in the unit: terminated after about 1 s
    sim::ReleaseHangs();
    Sleep(100);
    EXPECT_EQ(WaitForSingleObject(event, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_EQ(queued.Srb.SRB_Status, SS_PENDING);
    EXPECT_EQ(busy.Srb.SRB_Status, SS_PENDING);
    CloseHandle(event);
}

TEST_P(LoadUnloadTest, HundredLoadsWithRequestsInFlightLeaveNothingBehind) {
    Install(busyWorkerMachine);
    const size_t handlesBefore = sim::OpenHandleCount();
    const size_t memoryBefore = sim::CommittedVirtualMemory();
    sim::ResetCallCounts();

    const BYTE read10[10] = {0x28, 0, 0, 0, 0, 0, 0, 0, 1, 0};
    for (int round = 0; round < 100; ++round) {
        ASSERT_TRUE(Load()) << round;
        // One round trip first: the worker runs only once the load is done.
        ExecRequest first;
        PrepareExec(first, 0, 5, 0, 0, read10, 10, nullptr, 0);
        Send(&first.Srb);
        ASSERT_EQ(PollStatus(&first.Srb, 5000), SS_NO_DEVICE) << round;
        BYTE data[4][512];
        ExecRequest requests[4];
        for (int i = 0; i < 4; ++i) {
            PrepareExec(requests[i], 0, i % 2 == 0 ? 0 : 2, 0, SRB_DIR_IN, read10, 10, data[i],
                        sizeof data[i]);
            Send(&requests[i].Srb);
        }
        Unload();  // some requests may still be queued: they are dropped
        ASSERT_TRUE(sim::WaitForThreadsToEnd(5000)) << round;
        ASSERT_EQ(sim::OpenHandleCount(), handlesBefore) << round;
        ASSERT_EQ(sim::CommittedVirtualMemory(), memoryBefore) << round;
    }
    EXPECT_EQ(sim::LiveThreadCount(), 0u);
    EXPECT_EQ(sim::OpenRegistryKeyCount(), 0u);
    // Each worker said that it left while DllMain still ran: none was
    // waited out and terminated.
    EXPECT_EQ(sim::CallCount(sim::Call::TerminateThread), 0u);
}

// However long the worker loses the processor after it says it leaves
// (here longer than every wait of the stop: as SetEvent returns, and as
// _endthread is entered), the unload goes on without it, and the worker
// never comes back into the unmapped library, which would fault.
TEST_P(LoadUnloadTest, AWorkerHeldAfterItsLeavingSignalNeverRunsTheUnloadedLibrary) {
    Install(busyWorkerMachine);
    const struct {
        sim::Call Point;
        unsigned Nth;  // the unload's own SetEvent wakes the worker first
    } holds[] = {{sim::Call::SetEvent, 2}, {sim::Call::EndThread, 1}};
    for (const auto& hold : holds) {
        ASSERT_TRUE(Load());
        ExecRequest first;  // the worker runs only once the load is done
        PrepareExec(first, 0, 2, 0, 0, testUnitReady, 6, nullptr, 0);
        Send(&first.Srb);
        ASSERT_EQ(PollStatus(&first.Srb, 60000), SS_COMP);
        sim::HoldCaller(hold.Point, hold.Nth, 500);
        Unload();
        EXPECT_EQ(sim::LoadedModuleCount(), 0u);
        ASSERT_TRUE(sim::WaitForThreadsToEnd(60000)) << sim::CallName(hold.Point);
    }
}

// A worker terminated inside a command that never ends keeps its device
// handle open; the next load in the same process scans the same port and
// reaches its other units all the same, as NT's port driver lets any
// number of handles open it and answers its inquiry and capabilities
// controls while one unit is busy.
TEST_P(LoadUnloadTest, LoadsAgainAfterAnUnloadThatLeftACommandHanging) {
    Install(busyWorkerMachine);
    ASSERT_TRUE(Load());
    ExecRequest hung;
    PrepareExec(hung, 0, 1, 0, 0, testUnitReady, 6, nullptr, 0);
    Send(&hung.Srb);
    ASSERT_TRUE(WorkerHangs());
    Unload();

    ASSERT_TRUE(Load());
    EXPECT_EQ(SupportInfo(), 0x00000101u);
    for (BYTE target : {0, 1, 2}) {
        SRB_GDEVBlock query;
        std::memset(&query, 0, sizeof query);
        query.SRB_Cmd = SC_GET_DEV_TYPE;
        query.SRB_Target = target;
        EXPECT_EQ(Send(&query), static_cast<DWORD>(SS_COMP)) << int(target);
    }
    ExecRequest other;
    PrepareExec(other, 0, 2, 0, 0, testUnitReady, 6, nullptr, 0);
    Send(&other.Srb);
    EXPECT_EQ(PollStatus(&other.Srb, 60000), SS_COMP);
    EXPECT_EQ(sim::HangingCommandCount(), 1u);
    sim::ReleaseHangs();
    Unload();
    EXPECT_TRUE(sim::WaitForThreadsToEnd(60000));
    EXPECT_EQ(hung.Srb.SRB_Status, SS_PENDING);
}

}  // namespace

LIBRARY_TEST_SUITE(LoadUnloadTest);
