// The two pass-through controls: the port driver's checks and which one
// wins, routing through port, class, drive and outside-driver devices,
// autosense, residual counts, one command at a time per unit, and the log.
#include "devices_test_support.h"

#include <process.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <thread>

namespace {

using devices_test::BufferedRequest;
using devices_test::DirectRequest;
using devices_test::MakeBuffered;
using devices_test::MakeDirect;
using devices_test::SendBuffered;
using devices_test::SendDirect;

const char* const passThroughMachine = R"({
  "ports": [
    {"aspidrv": true,
     "capabilities": {"MaximumTransferLength": 4096, "AlignmentMask": 3},
     "buses": [
      {"units": [
        {"target": 1, "lun": 0, "inquiry": {"peripheral": 3},
         "backend": {"type": "scripted", "responses": [
           {"opcode": 8, "data": "01 02 03 04 05 06 07 08 09 0A"},
           {"opcode": 0, "status": 2,
            "sense": "70 00 05 00 00 00 00 0A 00 00 00 00 24 00 00 00 00 00"},
           {"opcode": "0x1B", "error": 31},
           {"opcode": "0x1C", "direct_error": 50},
           {"opcode": "0x2A", "hang": true, "times": 1},
           {"opcode": "0x2A"}]}},
        {"target": 2, "lun": 0, "claimed": true, "class_device": "PhysicalDrive0",
         "inquiry": {"peripheral": 0},
         "backend": {"type": "scripted", "responses": [
           {"opcode": 8, "data": "BB"},
           {"opcode": "0x1B", "error": 31}]}},
        {"target": 4, "lun": 0, "autosense": false, "inquiry": {"peripheral": 3},
         "backend": {"type": "scripted", "responses": [
           {"opcode": 0, "status": 2,
            "sense": "70 00 06 00 00 00 00 0A 00 00 00 00 29 00 00 00 00 00"}]}}]},
      {"units": [
        {"target": 1, "lun": 0, "inquiry": {"peripheral": 3},
         "backend": {"type": "scripted", "responses": [{"opcode": 8, "data": "DD DD"}]}}]}
    ]},
    {"buses": [{"units": [
      {"target": 0, "lun": 0, "class_device": "CdRom0", "drive": "E",
       "backend": {"type": "cdrom"}}]}]},
    {"buses": [{"units": [
      {"target": 0, "lun": 0, "class_device": "PhysicalDrive1",
       "backend": {"type": "disk", "blocks": 16}}]}]}
  ],
  "drives": [{"letter": "C", "type": "fixed"}]
})";

const std::vector<uint8_t> read6 = {0x08, 0, 0, 0, 1, 0};
const std::vector<uint8_t> testUnitReady = {0, 0, 0, 0, 0, 0};

// Caller data for direct requests, aligned as the port demands.
struct alignas(16) DataArea {
    uint8_t bytes[8192];
};

class PassThroughRun : public devices_test::DevicesTest {
protected:
    void SetUp() override {
        DevicesTest::SetUp();
        Install(passThroughMachine);
        port_ = Open("scsi0:");
        ASSERT_NE(port_, INVALID_HANDLE_VALUE);
        memset(area_.bytes, 0xCC, sizeof area_.bytes);
    }

    // Returns a direct READ(6) for the unit at (bus, target, 0) into the area.
    DirectRequest Read6(uint8_t bus, uint8_t target, ULONG length = 64) {
        DirectRequest request = MakeDirect(read6, SCSI_IOCTL_DATA_IN, area_.bytes, length);
        request.Header().PathId = bus;
        request.Header().TargetId = target;
        return request;
    }

    HANDLE port_ = INVALID_HANDLE_VALUE;
    DataArea area_;
};

TEST_F(PassThroughRun, PortDeviceReachesTheUnitAtTheHeaderAddress) {
    DirectRequest request = Read6(0, 1);
    ASSERT_EQ(SendDirect(port_, request), 0u);
    EXPECT_EQ(request.Header().ScsiStatus, 0);
    EXPECT_EQ(request.Header().DataTransferLength, 10u) << "the residual shows";
    EXPECT_EQ(request.Header().SenseInfoLength, 0);
    for (int i = 0; i < 10; ++i) EXPECT_EQ(area_.bytes[i], i + 1);
    EXPECT_EQ(area_.bytes[10], 0xCC) << "nothing moved past the unit's data";

    DirectRequest other = Read6(1, 1);
    ASSERT_EQ(SendDirect(port_, other), 0u);
    EXPECT_EQ(other.Header().DataTransferLength, 2u);
    EXPECT_EQ(area_.bytes[0], 0xDD);
}

TEST_F(PassThroughRun, PortDeviceRefusesAbsentAndClaimedUnits) {
    struct Case {
        uint8_t bus, target, lun;
        DWORD error;
    };
    for (const Case& c : {Case{0, 9, 0, ERROR_IO_DEVICE}, Case{0, 1, 1, ERROR_IO_DEVICE},
                          Case{5, 1, 0, ERROR_IO_DEVICE}, Case{0, 2, 0, ERROR_INVALID_FUNCTION}}) {
        DirectRequest request = Read6(c.bus, c.target);
        request.Header().Lun = c.lun;
        request.Header().ScsiStatus = 0x55;  // the header keeps what the caller wrote
        const std::vector<uint8_t> sent = request.buffer;
        EXPECT_EQ(SendDirect(port_, request), c.error) << int(c.bus) << ":" << int(c.target);
        EXPECT_EQ(request.buffer, sent);
        EXPECT_EQ(area_.bytes[0], 0xCC) << "no data moved";
    }
}

TEST_F(PassThroughRun, ClassDeviceAndDriveReachTheirOwnUnit) {
    HANDLE disk = Open("PhysicalDrive0");
    ASSERT_NE(disk, INVALID_HANDLE_VALUE);
    DirectRequest request = Read6(3, 77);
    request.Header().Lun = 5;
    ASSERT_EQ(SendDirect(disk, request), 0u);
    EXPECT_EQ(request.Header().DataTransferLength, 1u);
    EXPECT_EQ(area_.bytes[0], 0xBB);
    // The class driver puts its unit's address in the header.
    EXPECT_EQ(request.Header().PathId, 0);
    EXPECT_EQ(request.Header().TargetId, 2);
    EXPECT_EQ(request.Header().Lun, 0);

    HANDLE drive = Open("E:");
    ASSERT_NE(drive, INVALID_HANDLE_VALUE);
    DirectRequest inquiry =
        MakeDirect(devices_test::InquiryCdb(96), SCSI_IOCTL_DATA_IN, area_.bytes, 96);
    inquiry.Header().TargetId = 9;
    ASSERT_EQ(SendDirect(drive, inquiry), 0u);
    EXPECT_EQ(area_.bytes[0], 0x05) << "the CD-ROM unit answered";
    EXPECT_GE(inquiry.Header().DataTransferLength, 36u);
    EXPECT_LT(inquiry.Header().DataTransferLength, 96u);

    // A volume without a unit has no port driver below it.
    HANDLE volume = Open("C:");
    ASSERT_NE(volume, INVALID_HANDLE_VALUE);
    DirectRequest onVolume = Read6(0, 1);
    EXPECT_EQ(SendDirect(volume, onVolume), static_cast<DWORD>(ERROR_INVALID_FUNCTION));
}

TEST_F(PassThroughRun, OutsideDriverReachesClaimedUnitsToo) {
    HANDLE driver = Open("aspidrv0");
    ASSERT_NE(driver, INVALID_HANDLE_VALUE);
    DirectRequest claimed = Read6(0, 2);
    ASSERT_EQ(SendDirect(driver, claimed), 0u);
    EXPECT_EQ(area_.bytes[0], 0xBB);
    DirectRequest unclaimed = Read6(1, 1);
    ASSERT_EQ(SendDirect(driver, unclaimed), 0u);
    EXPECT_EQ(area_.bytes[0], 0xDD);
    DirectRequest absent = Read6(0, 9);
    EXPECT_EQ(SendDirect(driver, absent), static_cast<DWORD>(ERROR_IO_DEVICE));
}

// One check of the port driver: how to spoil a good request, and the error.
struct CheckCase {
    const char* what;
    std::function<void(DirectRequest&, DWORD& inLength, DWORD& outLength)> spoil;
    DWORD error;
};

TEST_F(PassThroughRun, DirectChecksFailOneByOne) {
    const std::vector<CheckCase> cases = {
        {"Length", [](DirectRequest& r, DWORD&, DWORD&) { r.Header().Length = 40; }, 87},
        {"CdbLength", [](DirectRequest& r, DWORD&, DWORD&) { r.Header().CdbLength = 17; }, 87},
        {"DataIn", [](DirectRequest& r, DWORD&, DWORD&) { r.Header().DataIn = 3; }, 87},
        {"input length", [](DirectRequest&, DWORD& in, DWORD&) { in = 43; }, 87},
        {"output length", [](DirectRequest&, DWORD&, DWORD& out) { out = 43; }, 87},
        {"sense beyond output",
         [](DirectRequest& r, DWORD&, DWORD& out) { out = 44 + r.Header().SenseInfoLength - 1; },
         87},
        {"sense over header",
         [](DirectRequest& r, DWORD&, DWORD&) { r.Header().SenseInfoOffset = 0; }, 87},
        {"transfer length",
         [](DirectRequest& r, DWORD&, DWORD&) { r.Header().DataTransferLength = 4097; }, 87},
        {"alignment",
         [](DirectRequest& r, DWORD&, DWORD&) {
             r.Header().DataBuffer = static_cast<uint8_t*>(r.Header().DataBuffer) + 2;
         },
         87},
        {"null buffer", [](DirectRequest& r, DWORD&, DWORD&) { r.Header().DataBuffer = nullptr; },
         998},
        {"absent unit", [](DirectRequest& r, DWORD&, DWORD&) { r.Header().TargetId = 9; }, 1117},
        {"claimed unit", [](DirectRequest& r, DWORD&, DWORD&) { r.Header().TargetId = 2; }, 1},
        {"platform error", [](DirectRequest& r, DWORD&, DWORD&) { r.Header().Cdb[0] = 0x1B; }, 31},
        {"direct-only error", [](DirectRequest& r, DWORD&, DWORD&) { r.Header().Cdb[0] = 0x1C; },
         50},
    };
    for (const CheckCase& c : cases) {
        DirectRequest request = Read6(0, 1);
        DWORD in = ScsiPassThroughHeaderLength;
        DWORD out = static_cast<DWORD>(request.buffer.size());
        c.spoil(request, in, out);
        const std::vector<uint8_t> sent = request.buffer;
        DWORD count = 0;
        SetLastError(0);
        EXPECT_FALSE(DeviceIoControl(port_, IOCTL_SCSI_PASS_THROUGH_DIRECT, request.buffer.data(),
                                     in, request.buffer.data(), out, &count, nullptr))
            << c.what;
        EXPECT_EQ(GetLastError(), c.error) << c.what;
        EXPECT_EQ(request.buffer, sent) << c.what << ": the header keeps what the caller wrote";
        EXPECT_EQ(area_.bytes[0], 0xCC) << c.what;
    }
}

TEST_F(PassThroughRun, DirectLimitsAllowWhatIsWithinThem) {
    // Exactly MaximumTransferLength, an address on the alignment, and a
    // null buffer with nothing to move all pass.
    DirectRequest largest = Read6(0, 1, 4096);
    EXPECT_EQ(SendDirect(port_, largest), 0u);
    DirectRequest aligned = MakeDirect(read6, SCSI_IOCTL_DATA_IN, area_.bytes + 4, 64);
    aligned.Header().TargetId = 1;
    EXPECT_EQ(SendDirect(port_, aligned), 0u);
    EXPECT_EQ(area_.bytes[4], 1);
    DirectRequest empty = MakeDirect(testUnitReady, SCSI_IOCTL_DATA_UNSPECIFIED, nullptr, 0);
    empty.Header().TargetId = 1;
    empty.Header().DataBuffer = reinterpret_cast<void*>(3);  // never looked at without data
    EXPECT_EQ(SendDirect(port_, empty), 0u);
    EXPECT_EQ(empty.Header().ScsiStatus, 2);
}

TEST_F(PassThroughRun, EarlierChecksWinOverLaterOnes) {
    HANDLE reader = Open("scsi0:", GENERIC_READ);
    ASSERT_NE(reader, INVALID_HANDLE_VALUE);
    DirectRequest badLength = Read6(0, 9);
    badLength.Header().Length = 40;
    EXPECT_EQ(SendDirect(reader, badLength), 5u) << "access before sizes";
    EXPECT_EQ(SendDirect(port_, badLength), 87u) << "sizes before routing";

    DirectRequest tooLongNull = Read6(0, 1, 8192);
    tooLongNull.Header().DataBuffer = nullptr;
    EXPECT_EQ(SendDirect(port_, tooLongNull), 87u) << "transfer length before the null buffer";

    DirectRequest misalignedAbsent = Read6(0, 9);
    misalignedAbsent.Header().DataBuffer = area_.bytes + 1;
    EXPECT_EQ(SendDirect(port_, misalignedAbsent), 87u) << "alignment before routing";

    DirectRequest nullAbsent = Read6(0, 9);
    nullAbsent.Header().DataBuffer = nullptr;
    EXPECT_EQ(SendDirect(port_, nullAbsent), 998u) << "null buffer before routing";

    DirectRequest claimedScripted = Read6(0, 2);
    claimedScripted.Header().Cdb[0] = 0x1B;
    EXPECT_EQ(SendDirect(port_, claimedScripted), 1u) << "routing before the unit's error";
    HANDLE disk = Open("PhysicalDrive0");
    EXPECT_EQ(SendDirect(disk, claimedScripted), 31u);
}

TEST_F(PassThroughRun, ClassDevicePathEnforcesThePortsTransferLimit) {
    HANDLE disk = Open("PhysicalDrive0");
    ASSERT_NE(disk, INVALID_HANDLE_VALUE);
    DirectRequest over = Read6(0, 2, 4097);
    EXPECT_EQ(SendDirect(disk, over), 87u);
    DirectRequest at = Read6(0, 2, 4096);
    EXPECT_EQ(SendDirect(disk, at), 0u);
    BufferedRequest bufferedOver = MakeBuffered(read6, SCSI_IOCTL_DATA_IN, 4097);
    EXPECT_EQ(SendBuffered(disk, bufferedOver), 87u);
    BufferedRequest bufferedAt = MakeBuffered(read6, SCSI_IOCTL_DATA_IN, 4096);
    EXPECT_EQ(SendBuffered(disk, bufferedAt), 0u);
    EXPECT_EQ(bufferedAt.Header().DataTransferLength, 1u);
    EXPECT_EQ(bufferedAt.Data()[0], 0xBB);
}

TEST_F(PassThroughRun, BufferedChecksCoverTheDataArea) {
    struct Case {
        const char* what;
        std::function<void(BufferedRequest&, DWORD& in, DWORD& out)> spoil;
    };
    const std::vector<Case> cases = {
        {"data-in beyond output", [](BufferedRequest&, DWORD&, DWORD& out) { out -= 5; }},
        {"data-out beyond input",
         [](BufferedRequest& r, DWORD& in, DWORD&) {
             r.Header().DataIn = SCSI_IOCTL_DATA_OUT;
             in -= 5;
         }},
        {"unspecified beyond input",
         [](BufferedRequest& r, DWORD& in, DWORD&) {
             r.Header().DataIn = SCSI_IOCTL_DATA_UNSPECIFIED;
             in -= 5;
         }},
        {"data over the header",
         [](BufferedRequest& r, DWORD&, DWORD&) { r.Header().DataBufferOffset = 8; }},
        {"offset overflow",
         [](BufferedRequest& r, DWORD&, DWORD&) { r.Header().DataBufferOffset = 0xFFFFFFF0; }},
        {"sense beyond output",
         [](BufferedRequest& r, DWORD&, DWORD& out) { r.Header().SenseInfoOffset = out - 10; }},
        {"header too short", [](BufferedRequest&, DWORD& in, DWORD&) { in = 40; }},
    };
    for (const Case& c : cases) {
        BufferedRequest request = MakeBuffered(read6, SCSI_IOCTL_DATA_IN, 32);
        request.Header().TargetId = 1;
        // Room after the data so that "beyond" is measured by the lengths.
        DWORD in = static_cast<DWORD>(request.buffer.size()) - 4;
        DWORD out = in;
        c.spoil(request, in, out);
        const std::vector<uint8_t> sent = request.buffer;
        DWORD count = 0;
        SetLastError(0);
        EXPECT_FALSE(DeviceIoControl(port_, IOCTL_SCSI_PASS_THROUGH, request.buffer.data(), in,
                                     request.buffer.data(), out, &count, nullptr))
            << c.what;
        EXPECT_EQ(GetLastError(), 87u) << c.what;
        EXPECT_EQ(request.buffer, sent) << c.what;
    }
    // Data-in needs no input beyond the header; data-out no output beyond it.
    BufferedRequest dataIn = MakeBuffered(read6, SCSI_IOCTL_DATA_IN, 32, 0);
    dataIn.Header().TargetId = 1;
    DWORD count = 0;
    EXPECT_TRUE(DeviceIoControl(port_, IOCTL_SCSI_PASS_THROUGH, dataIn.buffer.data(), 44,
                                dataIn.buffer.data(), static_cast<DWORD>(dataIn.buffer.size()),
                                &count, nullptr));
    EXPECT_EQ(dataIn.Data()[9], 10);
}

TEST_F(PassThroughRun, BufferedDataKeepsTheCallersBytesPastTheResidual) {
    BufferedRequest request = MakeBuffered(read6, SCSI_IOCTL_DATA_IN, 32);
    request.Header().TargetId = 1;
    memset(request.Data(), 0xEE, 32);
    ASSERT_EQ(SendBuffered(port_, request), 0u);
    EXPECT_EQ(request.Header().DataTransferLength, 10u);
    for (int i = 0; i < 10; ++i) EXPECT_EQ(request.Data()[i], i + 1);
    for (int i = 10; i < 32; ++i) EXPECT_EQ(request.Data()[i], 0xEE) << i;
    // The buffered control has its own platform error on the unit.
    BufferedRequest onlyDirectFails = MakeBuffered({0x1C, 0, 0, 0, 0, 0}, SCSI_IOCTL_DATA_IN, 0);
    onlyDirectFails.Header().TargetId = 1;
    EXPECT_EQ(SendBuffered(port_, onlyDirectFails), 0u);
    BufferedRequest bothFail = MakeBuffered({0x1B, 0, 0, 0, 0, 0}, SCSI_IOCTL_DATA_IN, 0);
    bothFail.Header().TargetId = 1;
    EXPECT_EQ(SendBuffered(port_, bothFail), 31u);
}

TEST_F(PassThroughRun, DataTravelsBothWaysOnAnEmulatedDisk) {
    HANDLE disk = Open("PhysicalDrive1");
    ASSERT_NE(disk, INVALID_HANDLE_VALUE);
    const std::vector<uint8_t> write10 = {0x2A, 0, 0, 0, 0, 3, 0, 0, 1, 0};
    const std::vector<uint8_t> read10 = {0x28, 0, 0, 0, 0, 3, 0, 0, 1, 0};
    BufferedRequest write = MakeBuffered(write10, SCSI_IOCTL_DATA_OUT, 512);
    for (int i = 0; i < 512; ++i) write.Data()[i] = static_cast<uint8_t>(i * 7);
    ASSERT_EQ(SendBuffered(disk, write), 0u);
    EXPECT_EQ(write.Header().ScsiStatus, 0);
    EXPECT_EQ(write.Header().DataTransferLength, 512u);

    DirectRequest read = MakeDirect(read10, SCSI_IOCTL_DATA_IN, area_.bytes, 512);
    ASSERT_EQ(SendDirect(disk, read), 0u);
    EXPECT_EQ(read.Header().DataTransferLength, 512u);
    EXPECT_EQ(0, memcmp(area_.bytes, write.Data(), 512));

    // Direct data-out, read back through the buffered control.
    for (int i = 0; i < 512; ++i) area_.bytes[i] = static_cast<uint8_t>(255 - i);
    DirectRequest write2 = MakeDirect(write10, SCSI_IOCTL_DATA_OUT, area_.bytes, 512);
    ASSERT_EQ(SendDirect(disk, write2), 0u);
    BufferedRequest read2 = MakeBuffered(read10, SCSI_IOCTL_DATA_IN, 512);
    ASSERT_EQ(SendBuffered(disk, read2), 0u);
    EXPECT_EQ(0, memcmp(area_.bytes, read2.Data(), 512));
}

TEST_F(PassThroughRun, AutosenseIsCopiedUpToTheCallersLength) {
    const uint8_t sense[18] = {0x70, 0, 5, 0, 0, 0, 0, 0x0A, 0, 0, 0, 0, 0x24, 0, 0, 0, 0, 0};
    for (UCHAR length : {UCHAR(14), UCHAR(18), UCHAR(32)}) {
        DirectRequest request = MakeDirect(testUnitReady, SCSI_IOCTL_DATA_IN, nullptr, 0, length);
        request.Header().TargetId = 1;
        memset(request.Sense(), 0xAA, length);
        ASSERT_EQ(SendDirect(port_, request), 0u) << "CHECK CONDITION is no failure of the control";
        EXPECT_EQ(request.Header().ScsiStatus, 2);
        const UCHAR copied = length < 18 ? length : 18;
        EXPECT_EQ(request.Header().SenseInfoLength, copied);
        EXPECT_EQ(0, memcmp(request.Sense(), sense, copied));
        for (UCHAR i = copied; i < length; ++i) EXPECT_EQ(request.Sense()[i], 0xAA) << int(i);
    }
    DirectRequest none = MakeDirect(testUnitReady, SCSI_IOCTL_DATA_IN, nullptr, 0, 0);
    none.Header().TargetId = 1;
    ASSERT_EQ(SendDirect(port_, none), 0u);
    EXPECT_EQ(none.Header().SenseInfoLength, 0);
    EXPECT_EQ(none.buffer[44], 0) << "nothing written where no sense was asked for";
}

TEST_F(PassThroughRun, UnitWithoutAutosenseKeepsItsSenseForRequestSense) {
    DirectRequest request = MakeDirect(testUnitReady, SCSI_IOCTL_DATA_IN, nullptr, 0, 18);
    request.Header().TargetId = 4;
    ASSERT_EQ(SendDirect(port_, request), 0u);
    EXPECT_EQ(request.Header().ScsiStatus, 2);
    EXPECT_EQ(request.Header().SenseInfoLength, 0);
    EXPECT_EQ(request.Sense()[0], 0);

    DirectRequest requestSense =
        MakeDirect({0x03, 0, 0, 0, 18, 0}, SCSI_IOCTL_DATA_IN, area_.bytes, 18, 0);
    requestSense.Header().TargetId = 4;
    ASSERT_EQ(SendDirect(port_, requestSense), 0u);
    EXPECT_EQ(requestSense.Header().ScsiStatus, 0);
    EXPECT_EQ(requestSense.Header().DataTransferLength, 18u);
    EXPECT_EQ(area_.bytes[0], 0x70);
    EXPECT_EQ(area_.bytes[2], 0x06);
    EXPECT_EQ(area_.bytes[12], 0x29);
}

// Returns the error of a direct command sent from another thread on its own
// handle to \\.\scsi0:.
std::future<DWORD> SendFromThread(uint8_t target, std::vector<uint8_t> cdb) {
    return std::async(std::launch::async, [target, cdb] {
        HANDLE handle = devices_test::DevicesTest::Open("scsi0:");
        DataArea area;
        DirectRequest request = MakeDirect(cdb, SCSI_IOCTL_DATA_IN, area.bytes, 64);
        request.Header().TargetId = target;
        DWORD error = SendDirect(handle, request);
        CloseHandle(handle);
        return error;
    });
}

TEST_F(PassThroughRun, HangingUnitBlocksOnlyItsOwnCallers) {
    std::future<DWORD> hung = SendFromThread(1, {0x2A, 0, 0, 0, 0, 0, 0, 0, 0, 0});
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(hung.wait_for(std::chrono::milliseconds(0)), std::future_status::timeout);
    // Another unit answers at once.
    DirectRequest other = Read6(1, 1);
    EXPECT_EQ(SendDirect(port_, other), 0u);
    // The hanging unit's next caller waits for it.
    std::future<DWORD> queued = SendFromThread(1, read6);
    EXPECT_EQ(queued.wait_for(std::chrono::milliseconds(150)), std::future_status::timeout);
    sim::ReleaseHangs();
    ASSERT_EQ(hung.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    ASSERT_EQ(queued.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_EQ(hung.get(), 0u);
    EXPECT_EQ(queued.get(), 0u);
}

// The start routine of a simulated thread that hangs in unit 1.
void __cdecl HangInUnitOne(void* done) {
    HANDLE handle = devices_test::DevicesTest::Open("scsi0:");
    DirectRequest request =
        MakeDirect({0x2A, 0, 0, 0, 0, 0, 0, 0, 0, 0}, SCSI_IOCTL_DATA_OUT, nullptr, 0);
    request.Header().TargetId = 1;
    SendDirect(handle, request);
    static_cast<std::atomic<bool>*>(done)->store(true);
}

TEST_F(PassThroughRun, TerminatedThreadGivesUpItsUnit) {
    static std::atomic<bool> returned{false};  // outlives the parked thread
    returned.store(false);
    const uintptr_t thread = _beginthread(HangInUnitOne, 0, &returned);
    ASSERT_NE(thread, static_cast<uintptr_t>(-1));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    std::future<DWORD> queued = SendFromThread(1, read6);
    EXPECT_EQ(queued.wait_for(std::chrono::milliseconds(100)), std::future_status::timeout);
    // As NT cancels a terminated thread's I/O, the unit is free at once and
    // nothing returns to the terminated thread.
    ASSERT_TRUE(TerminateThread(reinterpret_cast<HANDLE>(thread), 1));
    ASSERT_EQ(queued.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_EQ(queued.get(), 0u);
    sim::ReleaseHangs();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(returned.load());
}

TEST_F(PassThroughRun, UninstallingTheMachineEndsAHang) {
    std::future<DWORD> hung = SendFromThread(1, {0x2A, 0, 0, 0, 0, 0, 0, 0, 0, 0});
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    sim::UninstallMachine();
    ASSERT_EQ(hung.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    hung.get();
    DirectRequest late = Read6(0, 1);
    EXPECT_EQ(SendDirect(port_, late), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST_F(PassThroughRun, LogKeepsEveryRequestAsReceived) {
    sim::ClearPassThroughLog();
    BufferedRequest request = MakeBuffered(read6, SCSI_IOCTL_DATA_IN, 32);
    request.Header().TargetId = 1;
    const std::vector<uint8_t> sent = request.buffer;
    ASSERT_EQ(SendBuffered(port_, request), 0u);
    DirectRequest failing = Read6(0, 9);
    EXPECT_EQ(SendDirect(port_, failing), 1117u);

    const std::vector<sim::PassThroughRecord> log = sim::PassThroughLog();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[0].device, "\\\\.\\scsi0:");
    EXPECT_EQ(log[0].controlCode, static_cast<DWORD>(IOCTL_SCSI_PASS_THROUGH));
    EXPECT_EQ(log[0].inputLength, sent.size());
    EXPECT_EQ(log[0].outputLength, sent.size());
    EXPECT_EQ(log[0].input, sent);
    EXPECT_EQ(0, memcmp(log[0].header, sent.data(), 44));
    EXPECT_EQ(log[0].error, 0u);
    EXPECT_EQ(log[1].controlCode, static_cast<DWORD>(IOCTL_SCSI_PASS_THROUGH_DIRECT));
    EXPECT_EQ(log[1].inputLength, 44u);
    EXPECT_EQ(log[1].input.size(), 44u);
    EXPECT_EQ(log[1].header[4], 9);
    EXPECT_EQ(log[1].error, 1117u);
    // Other controls are not logged.
    IO_SCSI_CAPABILITIES capabilities = {};
    EXPECT_EQ(Control(port_, IOCTL_SCSI_GET_CAPABILITIES, nullptr, 0, &capabilities, 24), 0u);
    EXPECT_EQ(sim::PassThroughLog().size(), 2u);
    sim::ClearPassThroughLog();
    EXPECT_TRUE(sim::PassThroughLog().empty());
}

}  // namespace
