// What the execution tests share: a machine built from JSON, a device table
// filled by hand, execute SRBs with their sense areas, and a post routine
// that records every completion.
#ifndef PTASPI_TESTS_UNIT_EXECUTION_SUPPORT_H
#define PTASPI_TESTS_UNIT_EXECUTION_SUPPORT_H

#include "discovery/device_table.h"
#include "discovery/host_adapters.h"
#include "execution/execute_srb.h"
#include "execution/request_queue.h"
#include "interface/srb.h"
#include "sim/handles.h"
#include "sim/sim.h"
#include "sim/threads.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace execution_test {

constexpr char PortPath[] = "\\\\.\\scsi0:";

// Returns a machine with one port and one bus whose units are `units`
// (a JSON array body).
inline std::string MachineWithUnits(const std::string& units) {
    return R"({"ports": [{"driver": "hba", "buses": [{"units": [)" + units + "]}]}]}";
}

// Returns an unclaimed scripted unit (reached through the port device).
inline std::string ScriptedUnit(int target, const std::string& responses, bool autosense = true) {
    return R"({"target": )" + std::to_string(target) +
           R"(, "lun": 0, "claimed": false, "inquiry": {"peripheral": 3}, "autosense": )" +
           (autosense ? "true" : "false") +
           R"(, "backend": {"type": "scripted", "responses": [)" + responses + "]}}";
}

inline void InstallMachineText(const std::string& text) {
    sim::Machine machine;
    std::string error;
    ASSERT_TRUE(sim::ParseMachine(text, machine, error)) << error;
    ASSERT_TRUE(sim::InstallMachine(machine, error)) << error;
}

// Returns nothing: empties every discovery table.
inline void ClearTables() {
    memset(&DeviceTable, 0, sizeof DeviceTable);
    memset(PortTable, 0, sizeof PortTable);
    memset(AdapterMap, 0, sizeof AdapterMap);
    PortCount = 0;
    AdapterCount = 0;
}

// Returns the new entry: a unit on host adapter 0 (port 0, bus 0) reached
// through `path`, with the access that the scan stores.
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

// An execute SRB with the largest sense area, 2-byte aligned so that the
// direct method's buffers pass the port's alignment check.
struct alignas(8) ExecBlock {
    BYTE Bytes[sizeof(SRB_ExecSCSICmd) + 255];

    ExecBlock() { memset(Bytes, 0, sizeof Bytes); }
    SRB_ExecSCSICmd* Srb() { return reinterpret_cast<SRB_ExecSCSICmd*>(Bytes); }
    BYTE* Sense() { return Bytes + sizeof(SRB_ExecSCSICmd); }
    BYTE Status() { return __atomic_load_n(&Srb()->SRB_Status, __ATOMIC_ACQUIRE); }
};

// Records every posted completion with the status that it carried.
class PostRecorder {
public:
    static PostRecorder& Instance() {
        static PostRecorder* recorder = new PostRecorder;
        return *recorder;
    }
    void Clear() {
        std::lock_guard<std::mutex> guard(lock_);
        posts_.clear();
        order_.clear();
        total_ = 0;
    }
    void Record(void* srb) {
        BYTE status = __atomic_load_n(&static_cast<SRB_ExecSCSICmd*>(srb)->SRB_Status,
                                      __ATOMIC_ACQUIRE);
        {
            std::lock_guard<std::mutex> guard(lock_);
            posts_[srb].push_back(status);
            order_.push_back(srb);
            ++total_;
            changed_.notify_all();
        }
    }
    // Returns the statuses posted for `srb`, in order.
    std::vector<BYTE> PostsOf(const void* srb) {
        std::lock_guard<std::mutex> guard(lock_);
        auto found = posts_.find(const_cast<void*>(srb));
        return found == posts_.end() ? std::vector<BYTE>() : found->second;
    }
    // Returns every posted SRB in the order of posting.
    std::vector<void*> Order() {
        std::lock_guard<std::mutex> guard(lock_);
        return order_;
    }
    size_t Total() {
        std::lock_guard<std::mutex> guard(lock_);
        return total_;
    }
    // Returns true once `count` completions in all have been posted.
    bool WaitForTotal(size_t count, int timeoutMs = 10000) {
        std::unique_lock<std::mutex> guard(lock_);
        return changed_.wait_for(guard, std::chrono::milliseconds(timeoutMs),
                                 [&] { return total_ >= count; });
    }

private:
    std::mutex lock_;
    std::condition_variable changed_;
    std::map<void*, std::vector<BYTE>> posts_;
    std::vector<void*> order_;
    size_t total_ = 0;
};

inline void __cdecl RecordPost(void* srb) { PostRecorder::Instance().Record(srb); }

// Returns nothing: makes the block an execute request to host adapter 0
// that is posted to RecordPost.
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

// Returns true when the worker has nothing queued (Head equals Tail).
inline bool RingIsEmpty() {
    LockQueue();
    const bool empty = RequestQueue.Head == RequestQueue.Tail;
    UnlockQueue();
    return empty;
}

// Returns true once `ready` holds, polling for at most timeoutMs.
template <class Ready>
bool Eventually(Ready ready, int timeoutMs = 10000) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < deadline) {
        if (ready()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return ready();
}

// Returns the pass-through records sent with `controlCode`.
inline std::vector<sim::PassThroughRecord> RecordsOf(DWORD controlCode) {
    std::vector<sim::PassThroughRecord> result;
    for (const sim::PassThroughRecord& record : sim::PassThroughLog()) {
        if (record.controlCode == controlCode) result.push_back(record);
    }
    return result;
}

// Common set-up and tear-down: no machine, no faults, empty tables, an
// empty log, and the queue stopped with its objects closed.
class ExecutionTest : public ::testing::Test {
protected:
    void SetUp() override {
        sim::ClearFaults();
        sim::ResetCallCounts();
        sim::ClearPassThroughLog();
        ClearTables();
        PostRecorder::Instance().Clear();
        handlesAtStart_ = sim::OpenHandleCount();
        memoryAtStart_ = sim::CommittedVirtualMemory();
    }
    void TearDown() override {
        StopRequestQueue();
        ResetQueueObjects();
        sim::ClearFaults();
        sim::ReleaseHangs();
        sim::UninstallMachine();
        ClearTables();
    }
    // Returns nothing: closes the objects that a stopped queue keeps.
    static void ResetQueueObjects() {
        if (RequestQueue.Mutex != nullptr) CloseHandle(RequestQueue.Mutex);
        if (RequestQueue.WorkEvent != nullptr) CloseHandle(RequestQueue.WorkEvent);
        memset(&RequestQueue, 0, sizeof RequestQueue);
    }
    void ExpectNothingLeaked() {
        EXPECT_EQ(sim::OpenHandleCount(), handlesAtStart_);
        EXPECT_EQ(sim::CommittedVirtualMemory(), memoryAtStart_);
    }
    size_t handlesAtStart_ = 0;
    size_t memoryAtStart_ = 0;
};

}  // namespace execution_test

#endif
