// The execution tests' fixture and helpers: machines from JSON, a device
// table filled by hand, execute SRBs, and a recorder of completions.
#ifndef PTASPI_TESTS_UNIT_EXECUTION_SUPPORT_H
#define PTASPI_TESTS_UNIT_EXECUTION_SUPPORT_H

#include "discovery/device_table.h"
#include "discovery/host_adapters.h"
#include "execution/execute_srb.h"
#include "execution/request_queue.h"
#include "platform/scsi_port.h"
#include "sim/kernel/handles.h"
#include "sim/sim.h"
#include "sim/kernel/threads.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace execution_test {

constexpr char PortPath[] = "\\\\.\\scsi0:";

// Returns a machine with one port and one bus of these units (JSON), and
// the port's capabilities members when given.
inline std::string MachineWithUnits(const std::string& units,
                                    const std::string& capabilities = "") {
    return R"({"ports": [{"driver": "hba", "capabilities": {)" + capabilities +
           R"(}, "buses": [{"units": [)" + units + "]}]}]}";
}

// Returns an unclaimed scripted unit (reached through the port device).
inline std::string ScriptedUnit(int target, const std::string& responses, bool autosense = true,
                                int lun = 0) {
    return R"({"target": )" + std::to_string(target) + R"(, "lun": )" + std::to_string(lun) +
           R"(, "claimed": false, "inquiry": {"peripheral": 3}, "autosense": )" +
           (autosense ? "true" : "false") +
           R"(, "backend": {"type": "scripted", "responses": [)" + responses + "]}}";
}

inline void InstallMachineText(const std::string& text) {
    sim::Machine machine;
    std::string error;
    ASSERT_TRUE(sim::ParseMachine(text, machine, error)) << error;
    ASSERT_TRUE(sim::InstallMachine(machine, error)) << error;
}

inline void ClearTables() {
    memset(&DeviceTable, 0, sizeof DeviceTable);
    memset(PortTable, 0, sizeof PortTable);
    memset(AdapterMap, 0, sizeof AdapterMap);
    memset(PortlessPorts, 0, sizeof PortlessPorts);
    PortlessPortCount = 0;
    PortCount = 0;
    AdapterCount = 0;
}

// Returns the new entry: a unit on host adapter 0 (port 0, bus 0) reached
// through `path`.
inline DeviceEntry* AddUnit(BYTE target, BYTE lun, const char* path) {
    AdapterCount = 1;
    AdapterMap[0].PortNumber = 0;
    AdapterMap[0].PathId = 0;
    PortCount = 1;
    DeviceEntry& entry = DeviceTable.Entries[DeviceTable.Count++];
    entry.PortNumber = 0;
    entry.PathId = 0;
    entry.TargetId = target;
    entry.Lun = lun;
    strncpy(entry.DevicePath, path, sizeof entry.DevicePath - 1);
    entry.DesiredAccess = ScanDesiredAccess;
    entry.ShareMode = ScanShareMode;
    return &entry;
}

// Returns nothing: lists target 1, whose TEST UNIT READY hangs until released.
inline void InstallHangingUnit(
    const std::string& responses = R"({"opcode": "0x00", "hang": true}, {"status": 0})") {
    InstallMachineText(MachineWithUnits(ScriptedUnit(1, responses)));
    AddUnit(1, 0, PortPath);
}

// An execute SRB with the largest sense area, aligned so that the direct
// method's buffers pass the port's alignment check.
struct alignas(8) ExecBlock {
    BYTE Bytes[SRB_EXEC_HEADER_LEN + 255];

    ExecBlock() { memset(Bytes, 0, sizeof Bytes); }
    SRB_ExecSCSICmd* Srb() { return reinterpret_cast<SRB_ExecSCSICmd*>(Bytes); }
    BYTE* Sense() { return Bytes + SRB_EXEC_HEADER_LEN; }
    BYTE Status() { return __atomic_load_n(&Srb()->SRB_Status, __ATOMIC_ACQUIRE); }
    std::vector<BYTE> SenseBytes(size_t count) { return std::vector<BYTE>(Sense(), Sense() + count); }
};

// Records every posted completion with its status.
struct PostRecorder {
    void Clear() {
        std::lock_guard<std::mutex> guard(lock);
        posts.clear();
    }
    void Record(void* srb) {
        const BYTE status = __atomic_load_n(&static_cast<SRB_ExecSCSICmd*>(srb)->SRB_Status,
                                            __ATOMIC_ACQUIRE);
        std::lock_guard<std::mutex> guard(lock);
        posts.emplace_back(srb, status);
        changed.notify_all();
    }
    // Returns the statuses posted for `srb`, in order.
    std::vector<BYTE> PostsOf(const void* srb) {
        std::lock_guard<std::mutex> guard(lock);
        std::vector<BYTE> result;
        for (const auto& post : posts) {
            if (post.first == srb) result.push_back(post.second);
        }
        return result;
    }
    // Returns every posted SRB in posting order.
    std::vector<void*> Order() {
        std::lock_guard<std::mutex> guard(lock);
        std::vector<void*> result;
        for (const auto& post : posts) result.push_back(post.first);
        return result;
    }
    size_t Total() {
        std::lock_guard<std::mutex> guard(lock);
        return posts.size();
    }
    // Returns true once `count` completions in all have been posted.
    bool WaitForTotal(size_t count, int timeoutMs = 10000) {
        std::unique_lock<std::mutex> guard(lock);
        return changed.wait_for(guard, std::chrono::milliseconds(timeoutMs),
                                [&] { return posts.size() >= count; });
    }

    std::mutex lock;
    std::condition_variable changed;
    std::vector<std::pair<void*, BYTE>> posts;
};

// Returns the one recorder, never destroyed: a stuck worker may post late.
inline PostRecorder& Posts() {
    static PostRecorder* recorder = new PostRecorder;
    return *recorder;
}

inline void __cdecl RecordPost(void* srb) { Posts().Record(srb); }

// Returns nothing: makes the block a posted execute request to adapter 0.
inline void PrepareExec(ExecBlock& block, BYTE target, BYTE opcode, BYTE senseLength,
                        BYTE flags = SRB_DIR_IN) {
    SRB_ExecSCSICmd* srb = block.Srb();
    srb->SRB_Cmd = SC_EXEC_SCSI_CMD;
    srb->SRB_HaId = 0;
    srb->SRB_Flags = static_cast<BYTE>(flags | SRB_POSTING);
    srb->SRB_Target = target;
    srb->SRB_Lun = 0;
    srb->SRB_SenseLen = senseLength;
    srb->SRB_CDBLen = 6;
    srb->SRB_PostProc = reinterpret_cast<LPVOID>(&RecordPost);
    srb->CDBByte[0] = opcode;
}

// Returns true when the worker has nothing queued.
inline bool RingIsEmpty() {
    LockQueue();
    const bool empty = RequestQueue.Head == RequestQueue.Tail;
    UnlockQueue();
    return empty;
}

// Returns true once `ready` holds, polling for at most 10 seconds.
template <class Ready>
bool Eventually(Ready ready) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline) {
        if (ready()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return ready();
}

// Returns nothing: has the worker take and send a TEST UNIT READY to the
// hanging target 1.
inline void OccupyWorker(ExecBlock& hanging) {
    PrepareExec(hanging, 1, 0x00, 0);
    ASSERT_EQ(SubmitExecuteRequest(hanging.Srb()), SS_PENDING);
    ASSERT_TRUE(Eventually(
        [] { return RingIsEmpty() && sim::HangingCommandCount() > 0; }));
}

// Returns the pass-through records sent with `controlCode`.
inline std::vector<sim::PassThroughRecord> RecordsOf(DWORD controlCode) {
    std::vector<sim::PassThroughRecord> result;
    for (const sim::PassThroughRecord& record : sim::PassThroughLog()) {
        if (record.controlCode == controlCode) result.push_back(record);
    }
    return result;
}

// Returns the header that a logged pass-through carried.
template <class Header>
Header HeaderOf(const sim::PassThroughRecord& record) {
    Header header;
    memcpy(&header, record.header, sizeof header);
    return header;
}

// No machine, no faults, empty tables and log; the queue stopped after.
class ExecutionTest : public ::testing::Test {
protected:
    void SetUp() override {
        sim::ClearFaults();
        sim::ResetCallCounts();
        sim::ClearPassThroughLog();
        ClearTables();
        Posts().Clear();
        handlesAtStart_ = sim::OpenHandleCount();
        memoryAtStart_ = sim::CommittedVirtualMemory();
    }
    void TearDown() override {
        StopRequestQueue();
        ResetQueueObjects();
        sim::ClearFaults();
        sim::ReleaseHangs();
        // A worker terminated inside a command ends only after it.
        sim::WaitForThreadsToEnd(5000);
        sim::UninstallMachine();
        ClearTables();
    }
    // Returns nothing: closes what a stopped queue may keep (all of it
    // when a stop gave up on a worker, which the test has seen end).
    static void ResetQueueObjects() {
        for (HANDLE object : {RequestQueue.Mutex, RequestQueue.WorkEvent, RequestQueue.WorkerLeft,
                              RequestQueue.WorkerThread}) {
            if (object != nullptr) CloseHandle(object);
        }
        memset(&RequestQueue, 0, sizeof RequestQueue);
    }
    void ExpectNothingLeaked() {
        // A worker that has signalled its leaving may still be closing its
        // own handle in _endthread.
        EXPECT_TRUE(sim::WaitForThreadsToEnd(5000));
        EXPECT_EQ(sim::OpenHandleCount(), handlesAtStart_);
        EXPECT_EQ(sim::CommittedVirtualMemory(), memoryAtStart_);
    }
    size_t handlesAtStart_ = 0;
    size_t memoryAtStart_ = 0;
};

}  // namespace execution_test

#endif
