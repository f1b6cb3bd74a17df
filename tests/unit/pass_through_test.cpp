// The two transfer methods called directly: every header field they send,
// the request buffer sizes, the direction bits, the data copies of the
// buffered method, and what each leaves in the SRB.
#include "execution_support.h"

#include <algorithm>

namespace {

using namespace execution_test;

class PassThroughTest : public ExecutionTest {
protected:
    void SetUp() override {
        ExecutionTest::SetUp();
        InstallMachineText(MachineWithUnits(
            ScriptedUnit(3, R"({"opcode": "0x12", "status": 0, "data": "A1 A2 A3 A4 A5 A6"},
                               {"opcode": "0x2A", "status": 0},
                               {"opcode": "0x03", "status": 34, "sense": "70 00 06"})") +
            R"(, {"target": 0, "lun": 0, "class_device": "PhysicalDrive0",
                  "backend": {"type": "disk", "blocks": 512}})"));
        entry_ = AddUnit(3, 0, PortPath);
        handlesAtStart_ = sim::OpenHandleCount();
        device_ = Open(PortPath);
        ASSERT_NE(device_, INVALID_HANDLE_VALUE);
    }
    void TearDown() override {
        if (device_ != INVALID_HANDLE_VALUE) CloseHandle(device_);
        ExpectNothingLeaked();
        ExecutionTest::TearDown();
    }
    static HANDLE Open(const char* path) {
        return CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                           nullptr, OPEN_EXISTING, 0, nullptr);
    }
    // Returns nothing: points the SRB at `length` bytes of `data`.
    static void SetData(ExecBlock& block, void* data, DWORD length) {
        block.Srb()->SRB_BufLen = length;
        block.Srb()->SRB_BufPointer = static_cast<BYTE*>(data);
    }
    HANDLE device_ = INVALID_HANDLE_VALUE;
    DeviceEntry* entry_ = nullptr;
};

const std::vector<BYTE> Inquired = {0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6};

TEST_F(PassThroughTest, DirectHeaderCarriesEveryField) {
    ExecBlock block;
    PrepareExec(block, 3, 0x12, 32);
    SRB_ExecSCSICmd* srb = block.Srb();
    srb->SRB_CDBLen = 10;
    for (int i = 1; i < 16; ++i) srb->CDBByte[i] = static_cast<BYTE>(0x30 + i);
    alignas(8) BYTE data[6] = {};
    SetData(block, data, 6);
    DWORD error = 0xDEAD;
    SetLastError(0);  // NT leaves it as it was when a call succeeds
    EXPECT_EQ(PassThroughDirect(device_, srb, entry_, &error), PassThroughDone);
    EXPECT_EQ(error, 0u);

    const std::vector<sim::PassThroughRecord> log = sim::PassThroughLog();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].controlCode, IOCTL_SCSI_PASS_THROUGH_DIRECT);
    EXPECT_EQ(log[0].inputLength, 44u);
    EXPECT_EQ(log[0].outputLength, 32u + 48u);
    const auto header = HeaderOf<SCSI_PASS_THROUGH_DIRECT>(log[0]);
    EXPECT_EQ(header.Length, 44);
    EXPECT_EQ(header.ScsiStatus, 0);
    EXPECT_EQ(header.PathId, 0);
    EXPECT_EQ(header.TargetId, 3);
    EXPECT_EQ(header.Lun, 0);
    EXPECT_EQ(header.CdbLength, 10);
    EXPECT_EQ(header.SenseInfoLength, 32);
    EXPECT_EQ(header.DataIn, SCSI_IOCTL_DATA_IN);
    EXPECT_EQ(header.DataTransferLength, 6u);
    EXPECT_EQ(header.TimeOutValue, 300u);
    EXPECT_EQ(header.DataBuffer, static_cast<void*>(data));
    EXPECT_EQ(header.SenseInfoOffset, 44u);
    // All 16 bytes go out, whatever SRB_CDBLen says.
    EXPECT_EQ(memcmp(header.Cdb, srb->CDBByte, 16), 0);
    EXPECT_EQ(std::vector<BYTE>(data, data + 6), Inquired);
}

TEST_F(PassThroughTest, BufferedHeaderAndSizes) {
    ExecBlock block;
    PrepareExec(block, 3, 0x12, 20);
    BYTE data[6] = {};
    SetData(block, data, 6);
    DWORD error = 0xDEAD;
    SetLastError(0);
    EXPECT_EQ(PassThroughBuffered(device_, block.Srb(), entry_, &error), PassThroughDone);
    EXPECT_EQ(error, 0u);
    const std::vector<sim::PassThroughRecord> log = sim::PassThroughLog();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].controlCode, IOCTL_SCSI_PASS_THROUGH);
    EXPECT_EQ(log[0].inputLength, 6u + 20u + 48u);
    EXPECT_EQ(log[0].outputLength, 6u + 20u + 48u);
    const auto header = HeaderOf<SCSI_PASS_THROUGH>(log[0]);
    EXPECT_EQ(header.Length, 44);
    EXPECT_EQ(header.TargetId, 3);
    EXPECT_EQ(header.CdbLength, 6);
    EXPECT_EQ(header.SenseInfoLength, 20);
    EXPECT_EQ(header.DataTransferLength, 6u);
    EXPECT_EQ(header.TimeOutValue, 300u);
    EXPECT_EQ(header.DataBufferOffset, 44u + 20u);
    EXPECT_EQ(header.SenseInfoOffset, 44u);
    EXPECT_EQ(std::vector<BYTE>(data, data + 6), Inquired);
}

TEST_F(PassThroughTest, BufferedDataLiesAtTheAdaptersAlignmentAfterTheSense) {
    struct Row {
        DWORD mask;
        BYTE senseLength;
        DWORD offset;  // 44 + senseLength, rounded up to mask + 1 but at least 4
        bool out = false;
    } const rows[] = {{1, 0, 44},  {1, 14, 60}, {1, 18, 64}, {3, 0, 44}, {3, 14, 60},
                      {3, 18, 64}, {7, 0, 48},  {7, 14, 64}, {7, 18, 64}, {0xF, 14, 64, true},
                      {0x1F, 0, 64}, {0x1FF, 14, 512, true}, {0x1FF, 18, 512}};
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::Message() << row.mask << " " << int(row.senseLength));
        CloseHandle(device_);
        InstallMachineText(MachineWithUnits(
            ScriptedUnit(3, R"({"opcode": "0x12", "status": 0, "data": "A1 A2 A3 A4 A5 A6"})"),
            R"("AlignmentMask": )" + std::to_string(row.mask)));
        device_ = Open(PortPath);
        PortTable[0].Capabilities.AlignmentMask = row.mask;
        sim::ClearPassThroughLog();
        ExecBlock block;
        PrepareExec(block, 3, 0x12, row.senseLength, row.out ? SRB_DIR_OUT : SRB_DIR_IN);
        BYTE data[6] = {1, 2, 3, 4, 5, 6};
        SetData(block, data, 6);
        DWORD error = 0;
        EXPECT_EQ(PassThroughBuffered(device_, block.Srb(), entry_, &error), PassThroughDone);
        const std::vector<sim::PassThroughRecord> log = sim::PassThroughLog();
        ASSERT_EQ(log.size(), 1u);
        EXPECT_EQ(HeaderOf<SCSI_PASS_THROUGH>(log[0]).DataBufferOffset, row.offset);
        EXPECT_EQ(HeaderOf<SCSI_PASS_THROUGH>(log[0]).SenseInfoOffset, 44u);
        // Above 8 bytes the alignment holds only in a system buffer of a page.
        EXPECT_EQ(log[0].inputLength, row.mask > 7 ? 4096u : row.offset + 6u + 4u);
        const BYTE* sent = log[0].input.data() + row.offset;
        EXPECT_EQ(std::vector<BYTE>(row.out ? sent : data, (row.out ? sent : data) + 6),
                  row.out ? std::vector<BYTE>(data, data + 6) : Inquired);
    }
}

TEST_F(PassThroughTest, DirectionComesFromTheDataInBitAlone) {
    const std::pair<BYTE, UCHAR> rows[] = {{SRB_DIR_IN, SCSI_IOCTL_DATA_IN},
                                           {SRB_DIR_OUT, SCSI_IOCTL_DATA_OUT},
                                           {0, SCSI_IOCTL_DATA_OUT},
                                           {SRB_DIR_IN | SRB_DIR_OUT, SCSI_IOCTL_DATA_IN}};
    for (const auto& row : rows) {
        SCOPED_TRACE(int(row.first));
        sim::ClearPassThroughLog();
        ExecBlock block;
        PrepareExec(block, 3, 0x2A, 0, row.first);
        alignas(8) BYTE data[4] = {};
        SetData(block, data, 4);
        DWORD error = 0;
        PassThroughDirect(device_, block.Srb(), entry_, &error);
        PassThroughBuffered(device_, block.Srb(), entry_, &error);
        const std::vector<sim::PassThroughRecord> log = sim::PassThroughLog();
        ASSERT_EQ(log.size(), 2u);
        EXPECT_EQ(HeaderOf<SCSI_PASS_THROUGH_DIRECT>(log[0]).DataIn, row.second);
        EXPECT_EQ(HeaderOf<SCSI_PASS_THROUGH>(log[1]).DataIn, row.second);
        EXPECT_EQ(HeaderOf<SCSI_PASS_THROUGH_DIRECT>(log[0]).DataTransferLength, 4u);
    }
}

TEST_F(PassThroughTest, NullDataBufferPassesAsNullAndIsNeverCopied) {
    ExecBlock block;
    PrepareExec(block, 3, 0x12, 18);
    SetData(block, nullptr, 512);
    DWORD error = 0;
    EXPECT_EQ(PassThroughDirect(device_, block.Srb(), entry_, &error), PassThroughFailed);
    EXPECT_EQ(error, DWORD(ERROR_NOACCESS));
    EXPECT_EQ(PassThroughBuffered(device_, block.Srb(), entry_, &error), PassThroughDone);
    const std::vector<sim::PassThroughRecord> log = sim::PassThroughLog();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(HeaderOf<SCSI_PASS_THROUGH_DIRECT>(log[0]).DataBuffer, nullptr);
    EXPECT_EQ(HeaderOf<SCSI_PASS_THROUGH_DIRECT>(log[0]).DataTransferLength, 512u);
    EXPECT_EQ(HeaderOf<SCSI_PASS_THROUGH>(log[1]).DataTransferLength, 512u);
    // The bounce buffer's data area went out zero-filled.
    ASSERT_EQ(log[1].input.size(), 64u + 512u + 4u);
    EXPECT_TRUE(std::all_of(log[1].input.begin() + 64, log[1].input.begin() + 64 + 512,
                            [](uint8_t b) { return b == 0; }));
}

TEST_F(PassThroughTest, BufferedDataOutReachesTheUnit) {
    DeviceEntry* disk = AddUnit(0, 0, "\\\\.\\PhysicalDrive0");
    HANDLE diskHandle = Open("\\\\.\\PhysicalDrive0");
    ASSERT_NE(diskHandle, INVALID_HANDLE_VALUE);
    std::vector<BYTE> written(1024);
    for (size_t i = 0; i < written.size(); ++i) written[i] = static_cast<BYTE>(i * 7 + 1);
    alignas(8) BYTE readBack[1024] = {};
    // WRITE(10) buffered, then READ(10) direct, of 2 blocks at LBA 5.
    ExecBlock write, read;
    PrepareExec(write, 0, 0x2A, 18, SRB_DIR_OUT);
    PrepareExec(read, 0, 0x28, 18, SRB_DIR_IN);
    for (ExecBlock* block : {&write, &read}) {
        block->Srb()->SRB_CDBLen = 10;
        block->Srb()->CDBByte[5] = 5;
        block->Srb()->CDBByte[8] = 2;
    }
    SetData(write, written.data(), 1024);
    SetData(read, readBack, 1024);
    DWORD error = 0;
    EXPECT_EQ(PassThroughBuffered(diskHandle, write.Srb(), disk, &error), PassThroughDone);
    EXPECT_EQ(write.Srb()->SRB_TargStat, 0);
    // The caller's bytes lie in the data area, inside the input length.
    const std::vector<sim::PassThroughRecord> log = sim::PassThroughLog();
    ASSERT_EQ(log.size(), 1u);
    ASSERT_GE(log[0].inputLength, 64u + 1024u);
    EXPECT_EQ(memcmp(log[0].input.data() + 64, written.data(), 1024), 0);
    EXPECT_EQ(PassThroughDirect(diskHandle, read.Srb(), disk, &error), PassThroughDone);
    EXPECT_EQ(memcmp(readBack, written.data(), 1024), 0);
    CloseHandle(diskHandle);
}

TEST_F(PassThroughTest, BufferedTransferIsCappedAt64KiB) {
    std::vector<BYTE> data(100000, 0x77);
    ExecBlock block;
    PrepareExec(block, 3, 0x12, 18);
    SetData(block, data.data(), 100000);
    DWORD error = 0;
    EXPECT_EQ(PassThroughBuffered(device_, block.Srb(), entry_, &error), PassThroughDone);
    const std::vector<sim::PassThroughRecord> log = sim::PassThroughLog();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(HeaderOf<SCSI_PASS_THROUGH>(log[0]).DataTransferLength, 65536u);
    EXPECT_EQ(log[0].inputLength, 64u + 65536u + 4u);
    // Only the first 64 KiB went in; the rest of the caller's buffer is left.
    EXPECT_EQ(std::vector<BYTE>(data.begin(), data.begin() + 6), Inquired);
    EXPECT_EQ(data[6], 0x77);
    EXPECT_EQ(std::count(data.begin() + 65536, data.end(), 0x77), 100000 - 65536);
}

TEST_F(PassThroughTest, SenseIsClearedThenCopiedUpToTheCallersLength) {
    ExecBlock block;
    PrepareExec(block, 3, 0x03, 2);
    DWORD error = 0;
    for (auto method : {&PassThroughDirect, &PassThroughBuffered}) {
        memset(block.Sense(), 0xAA, 8);
        block.Srb()->SRB_TargStat = 0;
        EXPECT_EQ(method(device_, block.Srb(), entry_, &error), PassThroughDone);
        EXPECT_EQ(block.Srb()->SRB_TargStat, 0x02);  // 0x22 masked
        // Past SRB_SenseLen: untouched.
        EXPECT_EQ(block.SenseBytes(3), (std::vector<BYTE>{0x70, 0x00, 0xAA}));
    }
}

TEST_F(PassThroughTest, FailedControlLeavesZeroStatusAndZeroedSense) {
    sim::FailCall(sim::Call::DeviceIoControl, 1, ERROR_IO_DEVICE, 2);
    ExecBlock block;
    PrepareExec(block, 3, 0x03, 18);
    memset(block.Sense(), 0xAA, 18);
    block.Srb()->SRB_TargStat = 0x18;
    DWORD error = 0;
    EXPECT_EQ(PassThroughDirect(device_, block.Srb(), entry_, &error), PassThroughFailed);
    EXPECT_EQ(error, DWORD(ERROR_IO_DEVICE));
    EXPECT_EQ(block.Srb()->SRB_TargStat, 0);
    EXPECT_EQ(block.SenseBytes(18), std::vector<BYTE>(18, 0));

    // Buffered data-in keeps the caller's bytes when nothing came back.
    BYTE data[4] = {1, 2, 3, 4};
    SetData(block, data, 4);
    error = 0;
    EXPECT_EQ(PassThroughBuffered(device_, block.Srb(), entry_, &error), PassThroughFailed);
    EXPECT_EQ(error, DWORD(ERROR_IO_DEVICE));
    EXPECT_EQ(std::vector<BYTE>(data, data + 4), (std::vector<BYTE>{1, 2, 3, 4}));
}

TEST_F(PassThroughTest, NothingIsIssuedWithoutDeviceUnitOrExecuteCommand) {
    ExecBlock block;
    PrepareExec(block, 3, 0x12, 18);
    memset(block.Sense(), 0xAA, 18);
    block.Srb()->SRB_TargStat = 0x18;
    DWORD error = 0xDEAD;
    for (auto method : {&PassThroughDirect, &PassThroughBuffered}) {
        block.Srb()->SRB_Cmd = SC_EXEC_SCSI_CMD;
        EXPECT_EQ(method(INVALID_HANDLE_VALUE, block.Srb(), entry_, &error), PassThroughFailed);
        EXPECT_EQ(method(device_, block.Srb(), nullptr, &error), PassThroughFailed);
        block.Srb()->SRB_Cmd = SC_ABORT_SRB;
        EXPECT_EQ(method(device_, block.Srb(), entry_, &error), PassThroughFailed);
    }
    EXPECT_EQ(error, 0xDEADu);
    EXPECT_EQ(block.Srb()->SRB_TargStat, 0x18);
    EXPECT_EQ(block.Sense()[0], 0xAA);
    EXPECT_TRUE(sim::PassThroughLog().empty());
    EXPECT_EQ(sim::CallCount(sim::Call::VirtualAlloc), 0u);
}

TEST_F(PassThroughTest, AllocationFailureIsNoBufferAndLockFailureIsIgnored) {
    ExecBlock block;
    PrepareExec(block, 3, 0x12, 18);
    DWORD error = 0xDEAD;
    sim::FailCall(sim::Call::VirtualAlloc, 1, ERROR_NOT_ENOUGH_MEMORY, 2);
    for (auto method : {&PassThroughDirect, &PassThroughBuffered}) {
        block.Srb()->SRB_HaStat = 0x11;
        EXPECT_EQ(method(device_, block.Srb(), entry_, &error), PassThroughNoBuffer);
        EXPECT_EQ(block.Srb()->SRB_HaStat, 0);
    }
    EXPECT_EQ(error, 0xDEADu);
    // Neither method stores the final status itself: the executor posts it.
    EXPECT_EQ(block.Status(), SS_PENDING);

    sim::FailCall(sim::Call::VirtualLock, 1, ERROR_NOT_ENOUGH_MEMORY);
    BYTE data[6] = {};
    SetData(block, data, 6);
    EXPECT_EQ(PassThroughBuffered(device_, block.Srb(), entry_, &error), PassThroughDone);
    EXPECT_EQ(data[0], 0xA1);
    EXPECT_EQ(sim::CallCount(sim::Call::VirtualUnlock), 1u);
}

}  // namespace
