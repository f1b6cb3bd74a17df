// ExecuteSrb on a simulated machine: the unit lookup, the opens with the
// read-only fallback, the two methods and their fallback, the status
// mapping with the library's own REQUEST SENSE, and exactly one posting.
#include "execution_support.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>

namespace {

using namespace execution_test;

const std::string SenseHex = "70 00 05 00 00 00 00 0A 00 00 00 00 24 00 00 00 00 00";

class ExecuteSrbTest : public ExecutionTest {
protected:
    // Returns nothing: installs one scripted unit at target 1 and lists it.
    void ScriptedMachine(const std::string& responses, bool autosense = true) {
        InstallMachineText(MachineWithUnits(ScriptedUnit(1, responses, autosense)));
        unit_ = AddUnit(1, 0, PortPath);
    }
    // Returns nothing: runs the block on a clean log and expects exactly one
    // posting, with `status`.
    static void RunExpecting(ExecBlock& block, BYTE status) {
        sim::ClearPassThroughLog();
        Posts().Clear();
        void* address = block.Srb();
        ExecuteSrb(&address);
        EXPECT_EQ(Posts().PostsOf(block.Srb()), std::vector<BYTE>{status});
        EXPECT_EQ(block.Status(), status);
    }
    DeviceEntry* unit_ = nullptr;
};

TEST_F(ExecuteSrbTest, UnitNotInTheTableIsNoDeviceWithSelectionTimeOut) {
    ScriptedMachine(R"({"status": 0})");
    for (BYTE ha : {BYTE(0), BYTE(1), BYTE(200)}) {
        ExecBlock block;
        PrepareExec(block, ha == 0 ? 5 : 1, 0x00, 18);
        block.Srb()->SRB_HaId = ha;
        block.Srb()->SRB_TargStat = 0x55;
        sim::ResetCallCounts();
        RunExpecting(block, SS_NO_DEVICE);
        EXPECT_EQ(block.Srb()->SRB_HaStat, HASTAT_SEL_TO);
        EXPECT_EQ(block.Srb()->SRB_TargStat, 0);
        EXPECT_EQ(sim::CallCount(sim::Call::CreateFileA), 0u);
        EXPECT_TRUE(sim::PassThroughLog().empty());
    }
    ExpectNothingLeaked();
}

TEST_F(ExecuteSrbTest, PathThatNeverOpensIsNoDeviceAndFallsBackToReadOnly) {
    ScriptedMachine(R"({"status": 0})");
    for (DeviceEntry* entry : {AddUnit(2, 0, ""), AddUnit(3, 0, "\\\\.\\scsi7:")}) {
        ExecBlock block;
        PrepareExec(block, entry->TargetId, 0x00, 18);
        sim::ResetCallCounts();
        RunExpecting(block, SS_NO_DEVICE);
        EXPECT_EQ(block.Srb()->SRB_HaStat, 0);
        EXPECT_EQ(block.Srb()->SRB_TargStat, 0);
        EXPECT_EQ(entry->DesiredAccess, GENERIC_READ);
        EXPECT_EQ(entry->ShareMode, FILE_SHARE_READ);
        EXPECT_EQ(sim::CallCount(sim::Call::CreateFileA), 2u);
        EXPECT_TRUE(sim::PassThroughLog().empty());
    }
    ExpectNothingLeaked();
}

TEST_F(ExecuteSrbTest, ReadOnlyFallbackSticksForLaterRequests) {
    InstallMachineText(MachineWithUnits(
        R"({"target": 0, "lun": 0, "class_device": "PhysicalDrive0", "access": "read-only",
            "backend": {"type": "disk", "blocks": 16}})"));
    DeviceEntry* disk = AddUnit(0, 0, "\\\\.\\PhysicalDrive0");
    // The first open falls back to read-only; later ones start there. Both
    // fail, since pass-through needs write access.
    for (DWORD opens : {2u, 1u}) {
        ExecBlock block;
        PrepareExec(block, 0, 0x00, 18);
        sim::ResetCallCounts();
        RunExpecting(block, SS_ERR);
        EXPECT_EQ(sim::CallCount(sim::Call::CreateFileA), opens);
        EXPECT_EQ(disk->DesiredAccess, GENERIC_READ);
        EXPECT_EQ(disk->ShareMode, FILE_SHARE_READ);
        ASSERT_EQ(sim::PassThroughLog().size(), 2u);
        EXPECT_EQ(sim::PassThroughLog()[0].error, DWORD(ERROR_ACCESS_DENIED));
    }
    ExpectNothingLeaked();
}

TEST_F(ExecuteSrbTest, TargetStatusesMapWithSenseAndRequestSense) {
    // Target 1 has autosense; target 2 has none, so that the library must
    // ask for sense itself.
    InstallMachineText(MachineWithUnits(
        ScriptedUnit(1, R"({"opcode": "0x00", "status": 0},
                           {"opcode": "0x01", "status": 0, "sense": ")" + SenseHex + R"("},
                           {"opcode": "0x02", "status": 2, "sense": ")" + SenseHex + R"("})") +
        "," +
        ScriptedUnit(2, R"({"opcode": "0x04", "status": 4}, {"opcode": "0x08", "status": 8},
                           {"opcode": "0x18", "status": 24}, {"opcode": "0x22", "status": 34},
                           {"opcode": "0x40", "status": 64}, {"opcode": "0x28", "status": 40})",
                     false)));
    unit_ = AddUnit(1, 0, PortPath);
    AddUnit(2, 0, PortPath);
    struct Row {
        BYTE target, opcode, senseLength, status, targetStatus;
        size_t records;
        int firstSense;  // -1: not looked at
    } const rows[] = {
        {1, 0x00, 18, SS_COMP, 0x00, 1, 0x00},  // the method zeroes the area
        {1, 0x01, 18, SS_ERR, 0x02, 1, 0x70},   // GOOD with sense is CHECK CONDITION
        {1, 0x01, 0, SS_COMP, 0x00, 1, -1},     // unless there is no sense area
        {1, 0x02, 18, SS_ERR, 0x02, 1, 0x70},   // autosense: no REQUEST SENSE
        {2, 0x04, 18, SS_COMP, 0x04, 1, -1},    {2, 0x08, 18, SS_ERR, 0x08, 1, -1},
        {2, 0x18, 18, SS_ERR, 0x18, 1, -1},     {2, 0x22, 18, SS_ERR, 0x02, 2, -1},
        {2, 0x22, 0, SS_ERR, 0x02, 1, -1},      {2, 0x40, 18, SS_ERR, 0x08, 1, -1},  // TASK ABORTED
        {2, 0x28, 18, SS_ERR, 0x08, 1, -1},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::Message() << int(row.target) << " " << int(row.opcode) << " "
                                        << int(row.senseLength));
        ExecBlock block;
        PrepareExec(block, row.target, row.opcode, row.senseLength);
        memset(block.Sense(), 0xAA, 18);
        sim::ResetCallCounts();
        RunExpecting(block, row.status);
        EXPECT_EQ(block.Srb()->SRB_TargStat, row.targetStatus);
        EXPECT_EQ(block.Srb()->SRB_HaStat, 0);
        EXPECT_EQ(sim::PassThroughLog().size(), row.records);
        if (row.firstSense >= 0) {
            EXPECT_EQ(block.Sense()[0], row.firstSense);
            EXPECT_EQ(block.Sense()[12], row.firstSense == 0 ? 0 : 0x24);
        }
        if (row.senseLength == 0) {
            EXPECT_EQ(block.Sense()[0], 0xAA);
        }
    }
    // Opened with its stored access at the first attempt.
    ExecBlock block;
    PrepareExec(block, 1, 0x00, 18);
    sim::ResetCallCounts();
    RunExpecting(block, SS_COMP);
    EXPECT_EQ(sim::CallCount(sim::Call::CreateFileA), 1u);
    EXPECT_EQ(unit_->DesiredAccess, ScanDesiredAccess);
    EXPECT_EQ(unit_->ShareMode, ScanShareMode);
    ExpectNothingLeaked();
}

TEST_F(ExecuteSrbTest, CheckConditionWithoutAutosenseSendsRequestSense) {
    // LUN n answers with sense key n + 1, so that the sense shows its source.
    std::string units;
    for (int lun = 0; lun < 8; ++lun) {
        const std::string sense = "70 00 0" + std::to_string(lun + 1) + " 00 00 00 00 0A";
        units += (lun == 0 ? "" : ",") +
                 ScriptedUnit(1, R"({"opcode": "0x00", "status": 2, "sense": ")" + sense + R"("})",
                              false, lun);
        AddUnit(1, static_cast<BYTE>(lun), PortPath);
    }
    InstallMachineText(MachineWithUnits(units));
    const BYTE senseLengths[] = {18, 1, 255};
    for (BYTE lun = 0; lun < 8; ++lun) {
        const BYTE senseLength = senseLengths[lun % 3];
        SCOPED_TRACE(testing::Message() << int(lun) << " " << int(senseLength));
        ExecBlock block;
        PrepareExec(block, 1, 0x00, senseLength);
        block.Srb()->SRB_Lun = lun;
        RunExpecting(block, SS_ERR);
        EXPECT_EQ(block.Srb()->SRB_TargStat, 0x02);

        const std::vector<sim::PassThroughRecord> log = sim::PassThroughLog();
        ASSERT_EQ(log.size(), 2u);
        const sim::PassThroughRecord& sense = log[1];
        EXPECT_EQ(sense.device, log[0].device);
        EXPECT_EQ(sense.controlCode, IOCTL_SCSI_PASS_THROUGH_DIRECT);
        EXPECT_EQ(sense.inputLength, 44u);
        EXPECT_EQ(sense.outputLength, 44u);
        const auto header = HeaderOf<SCSI_PASS_THROUGH_DIRECT>(sense);
        EXPECT_EQ(header.Length, 44);
        EXPECT_EQ(header.ScsiStatus, 0);
        EXPECT_EQ(header.PathId, 0);
        EXPECT_EQ(header.TargetId, 1);
        EXPECT_EQ(header.Lun, lun);
        EXPECT_EQ(header.CdbLength, 6);
        EXPECT_EQ(header.SenseInfoLength, 0);
        EXPECT_EQ(header.DataIn, SCSI_IOCTL_DATA_IN);
        EXPECT_EQ(header.DataTransferLength, senseLength);
        EXPECT_EQ(header.TimeOutValue, 300u);
        EXPECT_EQ(header.DataBuffer, static_cast<void*>(block.Sense()));
        EXPECT_EQ(header.SenseInfoOffset, 0u);
        const UCHAR cdb[16] = {0x03, static_cast<UCHAR>(lun << 5), 0, 0, senseLength, 0};
        EXPECT_EQ(memcmp(header.Cdb, cdb, 16), 0);
        // The sense data fetched this way is in the caller's area.
        EXPECT_EQ(block.Sense()[0], 0x70);
        if (senseLength > 2) {
            EXPECT_EQ(block.Sense()[2], lun + 1);
        }
    }
    ExpectNothingLeaked();
}

TEST_F(ExecuteSrbTest, FailedRequestSenseStillEndsWithCheckCondition) {
    ScriptedMachine(R"({"opcode": "0x00", "status": 2, "sense": ")" + SenseHex + R"("})", false);
    // The command's own direct call succeeds; the REQUEST SENSE fails.
    sim::FailCall(sim::Call::DeviceIoControl, 2, ERROR_IO_DEVICE, 1, "0x4D014");
    ExecBlock block;
    PrepareExec(block, 1, 0x00, 18);
    memset(block.Sense(), 0xAA, 18);
    RunExpecting(block, SS_ERR);
    EXPECT_EQ(block.Srb()->SRB_TargStat, 0x02);
    EXPECT_EQ(block.Srb()->SRB_HaStat, 0);
    // As the method left it: zeroed, since autosense brought nothing.
    EXPECT_EQ(block.SenseBytes(18), std::vector<BYTE>(18, 0));
    EXPECT_EQ(sim::CallCount(sim::Call::DeviceIoControl), 2u);
    ExpectNothingLeaked();
}

TEST_F(ExecuteSrbTest, FailedMethodsMapTheErrorCode) {
    ScriptedMachine(R"({"opcode": "0x28", "error": 87}, {"opcode": "0x29", "error": 1117},
                       {"opcode": "0x2A", "error": 5}, {"opcode": "0x2B", "error": 31},
                       {"opcode": "0x40", "direct_error": 1},
                       {"opcode": "0x41", "direct_error": 50},
                       {"opcode": "0x42", "after_error": 121},
                       {"opcode": "0x43", "after_error": 1167},
                       {"opcode": "0x44", "direct_error": 21})");
    // Only a direct attempt that the port refused is sent again buffered
    // (which then answers GOOD): after 121, 1117, 1167 or 21 it ran.
    struct Row {
        BYTE opcode;
        DWORD length;
        BYTE status;
        size_t records;
    } const rows[] = {
        {0x28, 0xF000, SS_ERR, 2},       {0x28, 0xF001, SS_BUFFER_TO_BIG, 2},
        {0x29, 512, SS_ILLEGAL_MODE, 1}, {0x29, 0xF001, SS_ILLEGAL_MODE, 1},
        {0x2A, 512, SS_ERR, 2},          {0x2A, 0xF001, SS_ERR, 2},
        {0x2B, 512, SS_ERR, 2},          {0x40, 512, SS_COMP, 2},
        {0x41, 512, SS_COMP, 2},         {0x42, 512, SS_ERR, 1},
        {0x43, 512, SS_ERR, 1},          {0x44, 512, SS_ERR, 1},
    };
    std::vector<BYTE> data(0x10000);
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::Message() << int(row.opcode) << " " << row.length);
        ExecBlock block;
        PrepareExec(block, 1, row.opcode, 18);
        block.Srb()->SRB_BufLen = row.length;
        block.Srb()->SRB_BufPointer = data.data();
        RunExpecting(block, row.status);
        EXPECT_EQ(block.Srb()->SRB_HaStat, 0);
        EXPECT_EQ(block.Srb()->SRB_TargStat, 0);
        const std::vector<sim::PassThroughRecord> log = sim::PassThroughLog();
        ASSERT_EQ(log.size(), row.records);
        EXPECT_EQ(log[0].controlCode, IOCTL_SCSI_PASS_THROUGH_DIRECT);
        if (row.records == 2) {
            EXPECT_EQ(log[1].controlCode, IOCTL_SCSI_PASS_THROUGH);
        }
    }
    ExpectNothingLeaked();
}

TEST_F(ExecuteSrbTest, DirectFailingAndBufferedSucceedingFollowsTheBufferedAttempt) {
    ScriptedMachine(R"({"opcode": "0x12", "direct_error": 5, "status": 0, "data": "11 22 33 44"},
                       {"opcode": "0x03", "direct_error": 50, "status": 2,
                        "sense": ")" + SenseHex + R"("})");
    ExecBlock good;
    PrepareExec(good, 1, 0x12, 18);
    std::vector<BYTE> data(8, 0xEE);
    good.Srb()->SRB_BufLen = 4;
    good.Srb()->SRB_BufPointer = data.data();
    RunExpecting(good, SS_COMP);
    EXPECT_EQ(good.Srb()->SRB_HaStat, 0);
    EXPECT_EQ(good.Srb()->SRB_TargStat, 0);
    EXPECT_EQ(data, (std::vector<BYTE>{0x11, 0x22, 0x33, 0x44, 0xEE, 0xEE, 0xEE, 0xEE}));

    ExecBlock check;
    PrepareExec(check, 1, 0x03, 18);
    RunExpecting(check, SS_ERR);
    EXPECT_EQ(check.Srb()->SRB_TargStat, 0x02);
    EXPECT_EQ(check.Sense()[0], 0x70);
    ExpectNothingLeaked();
}

TEST_F(ExecuteSrbTest, AllocationFailureEndsWithBufferTooBig) {
    ScriptedMachine(R"({"opcode": "0x00", "status": 0},
                       {"opcode": "0x01", "direct_error": 5, "status": 0})");
    // The direct method's allocation failing ends at once, the area untouched;
    // the buffered one's keeps what the failed direct attempt left (zeroes).
    struct Row {
        BYTE opcode;
        int failedAllocation;
        BYTE sense;
        size_t records;
    } const rows[] = {{0x00, 1, 0xAA, 0}, {0x01, 2, 0x00, 1}};
    for (const Row& row : rows) {
        SCOPED_TRACE(int(row.opcode));
        sim::FailCall(sim::Call::VirtualAlloc, row.failedAllocation, ERROR_NOT_ENOUGH_MEMORY);
        ExecBlock block;
        PrepareExec(block, 1, row.opcode, 18);
        memset(block.Sense(), 0xAA, 18);
        block.Srb()->SRB_HaStat = 0x11;
        block.Srb()->SRB_TargStat = 0x02;
        RunExpecting(block, SS_BUFFER_TO_BIG);
        EXPECT_EQ(block.Srb()->SRB_HaStat, 0);
        EXPECT_EQ(block.Srb()->SRB_TargStat, 0);
        EXPECT_EQ(block.SenseBytes(18), std::vector<BYTE>(18, row.sense));
        EXPECT_EQ(sim::PassThroughLog().size(), row.records);
        sim::ClearFaults();
    }
    ExpectNothingLeaked();
}

TEST_F(ExecuteSrbTest, NoSenseAreaMeansNothingAtOrPastOffset64IsTouched) {
    ScriptedMachine(R"({"opcode": "0x00", "status": 0, "sense": ")" + SenseHex + R"("},
                       {"opcode": "0x01", "status": 2},
                       {"opcode": "0x02", "direct_error": 5, "status": 2, "sense": ")" +
                        SenseHex + R"("}, {"opcode": "0x03", "error": 87})",
                    false);
    // The block ends where an inaccessible page begins.
    const long page = sysconf(_SC_PAGESIZE);
    BYTE* pages = static_cast<BYTE*>(
        mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    ASSERT_NE(pages, MAP_FAILED);
    ASSERT_EQ(mprotect(pages + page, page, PROT_NONE), 0);
    SRB_ExecSCSICmd* srb = reinterpret_cast<SRB_ExecSCSICmd*>(pages + page - 64);
    const std::pair<BYTE, BYTE> rows[] = {
        {0x00, SS_COMP}, {0x01, SS_ERR}, {0x02, SS_ERR}, {0x03, SS_ERR}};
    for (const auto& row : rows) {
        SCOPED_TRACE(int(row.first));
        memset(srb, 0, 64);
        srb->SRB_Cmd = SC_EXEC_SCSI_CMD;
        srb->SRB_Target = 1;
        srb->SRB_Flags = SRB_DIR_IN | SRB_POSTING;
        srb->SRB_CDBLen = 6;
        srb->SRB_PostProc = reinterpret_cast<LPVOID>(&RecordPost);
        srb->CDBByte[0] = row.first;
        void* address = srb;
        ExecuteSrb(&address);
        EXPECT_EQ(srb->SRB_Status, row.second);
    }
    EXPECT_EQ(Posts().Total(), 4u);
    munmap(pages, 2 * page);
    ExpectNothingLeaked();
}

TEST_F(ExecuteSrbTest, LongTransferThatFallsBackIsRefusedNotTruncated) {
    InstallMachineText(MachineWithUnits(
        ScriptedUnit(1, R"({"opcode": "0x28", "direct_error": 87},
                           {"opcode": "0x29", "direct_error": 1117},
                           {"opcode": "0x2A", "direct_error": 5, "status": 0, "data": "09 09"})"),
        R"("MaximumTransferLength": 1048576)"));
    unit_ = AddUnit(1, 0, PortPath);
    // The buffered method must not quietly move only the first 64 KiB; the
    // direct attempt's code says why the request failed.
    std::vector<BYTE> data(100000, 0x5A);
    const std::pair<BYTE, BYTE> rows[] = {
        {0x28, SS_BUFFER_TO_BIG}, {0x29, SS_ILLEGAL_MODE}, {0x2A, SS_ERR}};
    for (const auto& row : rows) {
        SCOPED_TRACE(int(row.first));
        ExecBlock block;
        PrepareExec(block, 1, row.first, 18);
        block.Srb()->SRB_BufLen = 100000;
        block.Srb()->SRB_BufPointer = data.data();
        block.Srb()->SRB_TargStat = 0x08;
        RunExpecting(block, row.second);
        EXPECT_EQ(block.Srb()->SRB_HaStat, 0);
        EXPECT_EQ(block.Srb()->SRB_TargStat, 0);
        EXPECT_EQ(std::count(data.begin(), data.end(), 0x5A), 100000);
        const std::vector<sim::PassThroughRecord> log = sim::PassThroughLog();
        ASSERT_EQ(log.size(), 1u);
        EXPECT_EQ(log[0].controlCode, IOCTL_SCSI_PASS_THROUGH_DIRECT);
    }

    // At 65,536 bytes the buffered fallback still runs, with all of them.
    ExecBlock exact;
    PrepareExec(exact, 1, 0x2A, 18);
    exact.Srb()->SRB_BufLen = 65536;
    exact.Srb()->SRB_BufPointer = data.data();
    RunExpecting(exact, SS_COMP);
    const std::vector<sim::PassThroughRecord> fallback = RecordsOf(IOCTL_SCSI_PASS_THROUGH);
    ASSERT_EQ(fallback.size(), 1u);
    EXPECT_EQ(HeaderOf<SCSI_PASS_THROUGH>(fallback[0]).DataTransferLength, 65536u);
    EXPECT_EQ(data[0], 0x09);
    EXPECT_EQ(data[1], 0x09);
    ExpectNothingLeaked();
}

TEST_F(ExecuteSrbTest, BlockThatNoLongerReadsAsExecuteIssuesNothing) {
    ScriptedMachine(R"({"status": 0})");
    ExecBlock block;
    PrepareExec(block, 1, 0x00, 18);
    block.Srb()->SRB_Cmd = 0x05;
    RunExpecting(block, SS_ERR);
    EXPECT_TRUE(sim::PassThroughLog().empty());
    EXPECT_EQ(sim::CallCount(sim::Call::CreateFileA), 1u);
    EXPECT_EQ(sim::CallCount(sim::Call::CloseHandle), 1u);
    ExpectNothingLeaked();
}

TEST_F(ExecuteSrbTest, EventNotificationIsSetAfterTheFinalStatus) {
    ScriptedMachine(R"({"status": 0})");
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(event, nullptr);
    ExecBlock block;
    PrepareExec(block, 1, 0x00, 18);
    block.Srb()->SRB_Flags = SRB_DIR_IN | SRB_EVENT_NOTIFY | SRB_POSTING;
    block.Srb()->SRB_PostProc = event;
    void* address = block.Srb();
    ExecuteSrb(&address);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
    EXPECT_EQ(block.Status(), SS_COMP);
    EXPECT_EQ(Posts().Total(), 0u);
    CloseHandle(event);
    ExpectNothingLeaked();
}

}  // namespace
