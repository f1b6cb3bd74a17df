// The two pass-through controls: the port driver's checks and their order,
// routing through port, class, drive and outside-driver devices, autosense,
// residual counts, one command at a time per unit, and the log.
#include "devices_test_support.h"

#include <process.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace {

using namespace devices_test;

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
       "backend": {"type": "disk", "blocks": 16}}]}]},
    {"capabilities": {"MaximumTransferLength": 16384, "MaximumPhysicalPages": 2, "AlignmentMask": 15},
     "buses": [{"units": [{"target": 0, "lun": 0, "class_device": "Tape0", "inquiry": {"peripheral": 1},
       "backend": {"type": "scripted", "responses": [{"opcode": 8, "data": "01 02"},
         {"opcode": "0x28", "data": "AA BB", "sense": "70 00 03", "times": 2, "after_error": 121},
         {"opcode": "0x88", "data": "AA BB", "sense": "70 00 03", "times": 2, "after_error": 1117},
         {"opcode": "0xA8", "data": "AA BB", "sense": "70 00 03", "times": 2, "after_error": 1167},
         {"opcode": "0x2B", "hang": true}, {"opcode": "0x2C", "delay_ms": 1500},
         {"opcode": "0x2D", "delay_ms": 200}, {"data": "CC"}]}}]}]}
  ],
  "drives": [{"letter": "C", "type": "fixed"}]
})";

const std::vector<uint8_t> read6 = {0x08, 0, 0, 0, 1, 0};
const std::vector<uint8_t> testUnitReady = {0, 0, 0, 0, 0, 0};

// Caller data for direct requests, aligned as the port demands.
struct alignas(16) DataArea {
    uint8_t bytes[8192];
};

class PassThroughRun : public DevicesTest {
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
        DirectRequest request = MakeDirect(read6, SCSI_IOCTL_DATA_IN, area_.bytes, length, 18, target);
        request.Header().PathId = bus;
        return request;
    }

    HANDLE port_ = INVALID_HANDLE_VALUE;
    DataArea area_;
};

TEST_F(PassThroughRun, EachDeviceReachesItsUnits) {
    struct Case {
        const char* device;
        uint8_t bus, target, lun;
        DWORD error;
        ULONG moved;   // the residual the header shows
        uint8_t first, last;  // the unit's first and last data bytes
    };
    const Case cases[] = {
        {"scsi0:", 0, 1, 0, 0, 10, 0x01, 0x0A}, {"scsi0:", 1, 1, 0, 0, 2, 0xDD, 0xDD},
        {"scsi0:", 0, 9, 0, 1167, 0, 0, 0},     {"scsi0:", 0, 1, 1, 1167, 0, 0, 0},
        {"scsi0:", 5, 1, 0, 1167, 0, 0, 0},     {"scsi0:", 0, 2, 0, 1, 0, 0, 0},  // claimed
        {"aspidrv0", 0, 2, 0, 0, 1, 0xBB, 0xBB}, {"aspidrv0", 1, 1, 0, 0, 2, 0xDD, 0xDD},
        {"aspidrv0", 0, 9, 0, 1167, 0, 0, 0},
        // The class driver ignores the header's address; a volume without a
        // unit has no port driver below it.
        {"PhysicalDrive0", 3, 77, 5, 0, 1, 0xBB, 0xBB}, {"C:", 0, 1, 0, 1, 0, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.device) + " " + std::to_string(c.bus) + ":" +
                     std::to_string(c.target) + ":" + std::to_string(c.lun));
        memset(area_.bytes, 0xCC, 64);
        HANDLE device = Open(c.device);
        ASSERT_NE(device, INVALID_HANDLE_VALUE);
        DirectRequest request = Read6(c.bus, c.target);
        request.Header().Lun = c.lun;
        request.Header().ScsiStatus = 0x55;
        const std::vector<uint8_t> sent = request.buffer;
        ASSERT_EQ(SendDirect(device, request), c.error);
        if (c.error != 0) {
            EXPECT_EQ(request.buffer, sent) << "a refused header keeps what the caller wrote";
            EXPECT_EQ(area_.bytes[0], 0xCC) << "no data moved";
            continue;
        }
        EXPECT_EQ(request.Header().ScsiStatus, 0);
        EXPECT_EQ(request.Header().SenseInfoLength, 0);
        EXPECT_EQ(request.Header().DataTransferLength, c.moved);
        EXPECT_EQ(area_.bytes[0], c.first);
        EXPECT_EQ(area_.bytes[c.moved - 1], c.last);
        EXPECT_EQ(area_.bytes[c.moved], 0xCC) << "nothing moved past the unit's data";
    }
}

TEST_F(PassThroughRun, ClassDeviceAndDriveAddressTheirOwnUnit) {
    DirectRequest request = Read6(3, 77);
    request.Header().Lun = 5;
    ASSERT_EQ(SendDirect(Open("PhysicalDrive0"), request), 0u);
    EXPECT_EQ(request.Header().PathId, 0);
    EXPECT_EQ(request.Header().TargetId, 2);
    EXPECT_EQ(request.Header().Lun, 0);

    DirectRequest inquiry = MakeDirect(InquiryCdb(96), SCSI_IOCTL_DATA_IN, area_.bytes, 96, 18, 9);
    ASSERT_EQ(SendDirect(Open("E:"), inquiry), 0u);
    EXPECT_EQ(area_.bytes[0], 0x05) << "the CD-ROM unit answered";
    EXPECT_GE(inquiry.Header().DataTransferLength, 36u);
    EXPECT_LT(inquiry.Header().DataTransferLength, 96u);
}

// One check of the port driver: the edits that spoil a good request, and
// the error. Requests spoiled twice show which check comes first.
enum Field { Length, CdbLength, DataIn, InLength, OutLength, SenseOffset, Transfer, Shift, Null,
             Target, Opcode, TimeOut };
struct Edit {
    Field field;
    DWORD value;
};
struct CheckCase {
    const char* what;
    std::vector<Edit> edits;
    DWORD error;
};

// Returns nothing; applies `edit` to the request or the lengths it is sent with.
void Apply(const Edit& edit, DirectRequest& request, DWORD& in, DWORD& out) {
    SCSI_PASS_THROUGH_DIRECT& h = request.Header();
    switch (edit.field) {
        case Length: h.Length = static_cast<USHORT>(edit.value); break;
        case CdbLength: h.CdbLength = static_cast<UCHAR>(edit.value); break;
        case DataIn: h.DataIn = static_cast<UCHAR>(edit.value); break;
        case InLength: in = edit.value; break;
        case OutLength: out = edit.value; break;
        case SenseOffset: h.SenseInfoOffset = edit.value; break;
        case Transfer: h.DataTransferLength = edit.value; break;
        case Shift: h.DataBuffer = static_cast<uint8_t*>(h.DataBuffer) + edit.value; break;
        case Null: h.DataBuffer = nullptr; break;
        case Target: h.TargetId = static_cast<UCHAR>(edit.value); break;
        case Opcode: h.Cdb[0] = static_cast<UCHAR>(edit.value); break;
        case TimeOut: h.TimeOutValue = edit.value; break;
    }
}

TEST_F(PassThroughRun, DirectChecksFailOneByOneAndInOrder) {
    const CheckCase cases[] = {
        {"Length", {{Length, 40}}, 87},
        {"CdbLength", {{CdbLength, 17}}, 87},
        {"DataIn", {{DataIn, 3}}, 87},
        {"input length", {{InLength, 43}}, 87},
        {"output length", {{OutLength, 43}}, 87},
        {"sense beyond output", {{OutLength, 44 + 17}}, 87},
        {"sense over header", {{SenseOffset, 0}}, 87},
        {"transfer length", {{Transfer, 4097}}, 87},
        {"alignment", {{Shift, 2}}, 87},
        {"null buffer", {{Null, 0}}, 998},
        {"time-out 0", {{TimeOut, 0}}, 87},
        {"absent unit", {{Target, 9}}, 1167},
        {"claimed unit", {{Target, 2}}, 1},
        {"platform error", {{Opcode, 0x1B}}, 31},
        {"direct-only error", {{Opcode, 0x1C}}, 50},
        {"sizes before routing", {{Length, 40}, {Target, 9}}, 87},
        {"time-out before routing", {{TimeOut, 0}, {Target, 9}}, 87},
        {"transfer length before null buffer", {{Transfer, 8192}, {Null, 0}}, 87},
        {"alignment before routing", {{Shift, 1}, {Target, 9}}, 87},
        {"null buffer before routing", {{Null, 0}, {Target, 9}}, 998},
        {"routing before the unit's error", {{Target, 2}, {Opcode, 0x1B}}, 1},
    };
    for (const CheckCase& c : cases) {
        SCOPED_TRACE(c.what);
        DirectRequest request = Read6(0, 1);
        DWORD in = ScsiPassThroughHeaderLength;
        DWORD out = static_cast<DWORD>(request.buffer.size());
        for (const Edit& edit : c.edits) Apply(edit, request, in, out);
        const std::vector<uint8_t> sent = request.buffer;
        EXPECT_EQ(Send(port_, IOCTL_SCSI_PASS_THROUGH_DIRECT, request.buffer.data(), in, out),
                  c.error);
        EXPECT_EQ(request.buffer, sent) << "the header keeps what the caller wrote";
        EXPECT_EQ(area_.bytes[0], 0xCC);
    }
    // Access comes before sizes; the claimed unit's own error shows through
    // its class device.
    DirectRequest badLength = Read6(0, 9);
    badLength.Header().Length = 40;
    EXPECT_EQ(SendDirect(Open("scsi0:", GENERIC_READ), badLength), 5u);
    DirectRequest claimedFailing = Read6(0, 2);
    claimedFailing.Header().Cdb[0] = 0x1B;
    EXPECT_EQ(SendDirect(Open("PhysicalDrive0"), claimedFailing), 31u);
}

TEST_F(PassThroughRun, DirectLimitsAllowWhatIsWithinThem) {
    // Exactly MaximumTransferLength, an address on the alignment, and a
    // null buffer with nothing to move all pass.
    DirectRequest largest = Read6(0, 1, 4096);
    EXPECT_EQ(SendDirect(port_, largest), 0u);
    DirectRequest aligned = MakeDirect(read6, SCSI_IOCTL_DATA_IN, area_.bytes + 4, 64, 18, 1);
    EXPECT_EQ(SendDirect(port_, aligned), 0u);
    EXPECT_EQ(area_.bytes[4], 1);
    DirectRequest empty = MakeDirect(testUnitReady, SCSI_IOCTL_DATA_UNSPECIFIED, nullptr, 0, 18, 1);
    empty.Header().DataBuffer = reinterpret_cast<void*>(3);  // never looked at without data
    EXPECT_EQ(SendDirect(port_, empty), 0u);
    EXPECT_EQ(empty.Header().ScsiStatus, 2);
}

TEST_F(PassThroughRun, ClassDevicePathEnforcesThePortsTransferLimit) {
    HANDLE disk = Open("PhysicalDrive0");
    for (ULONG length : {4097u, 4096u}) {
        const DWORD error = length > 4096 ? 87u : 0u;
        DirectRequest direct = Read6(0, 2, length);
        EXPECT_EQ(SendDirect(disk, direct), error) << length;
        BufferedRequest buffered = MakeBuffered(read6, SCSI_IOCTL_DATA_IN, length);
        EXPECT_EQ(SendBuffered(disk, buffered), error) << length;
    }
}

TEST_F(PassThroughRun, BufferedChecksCoverTheDataArea) {
    struct Case {
        const char* what;
        void (*spoil)(BufferedRequest&, DWORD& in, DWORD& out);
    };
    const Case cases[] = {
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
        SCOPED_TRACE(c.what);
        BufferedRequest request = MakeBuffered(read6, SCSI_IOCTL_DATA_IN, 32, 18, 1);
        // Room after the data so that "beyond" is measured by the lengths.
        DWORD in = static_cast<DWORD>(request.buffer.size()) - 4;
        DWORD out = in;
        c.spoil(request, in, out);
        const std::vector<uint8_t> sent = request.buffer;
        EXPECT_EQ(Send(port_, IOCTL_SCSI_PASS_THROUGH, request.buffer.data(), in, out), 87u);
        EXPECT_EQ(request.buffer, sent);
    }
    // Data-in needs no input beyond the header.
    BufferedRequest dataIn = MakeBuffered(read6, SCSI_IOCTL_DATA_IN, 32, 0, 1);
    EXPECT_EQ(Send(port_, IOCTL_SCSI_PASS_THROUGH, dataIn.buffer.data(), 44,
                   static_cast<DWORD>(dataIn.buffer.size())),
              0u);
    EXPECT_EQ(dataIn.Data()[9], 10);
}

TEST_F(PassThroughRun, BufferedDataKeepsTheCallersBytesPastTheResidual) {
    BufferedRequest request = MakeBuffered(read6, SCSI_IOCTL_DATA_IN, 32, 18, 1);
    memset(request.Data(), 0xEE, 32);
    ASSERT_EQ(SendBuffered(port_, request), 0u);
    EXPECT_EQ(request.Header().DataTransferLength, 10u);
    for (int i = 0; i < 32; ++i) EXPECT_EQ(request.Data()[i], i < 10 ? i + 1 : 0xEE) << i;
    // The buffered control has its own platform error on the unit.
    BufferedRequest onlyDirectFails = MakeBuffered({0x1C, 0, 0, 0, 0, 0}, SCSI_IOCTL_DATA_IN, 0, 18, 1);
    EXPECT_EQ(SendBuffered(port_, onlyDirectFails), 0u);
    BufferedRequest bothFail = MakeBuffered({0x1B, 0, 0, 0, 0, 0}, SCSI_IOCTL_DATA_IN, 0, 18, 1);
    EXPECT_EQ(SendBuffered(port_, bothFail), 31u);
}

TEST_F(PassThroughRun, DataTravelsBothWaysOnAnEmulatedDisk) {
    HANDLE disk = Open("PhysicalDrive1");
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

    for (int i = 0; i < 512; ++i) area_.bytes[i] = static_cast<uint8_t>(255 - i);
    DirectRequest write2 = MakeDirect(write10, SCSI_IOCTL_DATA_OUT, area_.bytes, 512);
    ASSERT_EQ(SendDirect(disk, write2), 0u);
    BufferedRequest read2 = MakeBuffered(read10, SCSI_IOCTL_DATA_IN, 512);
    ASSERT_EQ(SendBuffered(disk, read2), 0u);
    EXPECT_EQ(0, memcmp(area_.bytes, read2.Data(), 512));
}

TEST_F(PassThroughRun, AutosenseIsCopiedUpToTheCallersLength) {
    const uint8_t sense[18] = {0x70, 0, 5, 0, 0, 0, 0, 0x0A, 0, 0, 0, 0, 0x24, 0, 0, 0, 0, 0};
    for (UCHAR length : {UCHAR(0), UCHAR(14), UCHAR(18), UCHAR(32)}) {
        SCOPED_TRACE(int(length));
        DirectRequest request = MakeDirect(testUnitReady, SCSI_IOCTL_DATA_IN, nullptr, 0, length, 1);
        memset(request.Sense(), 0xAA, length + 4);
        ASSERT_EQ(SendDirect(port_, request), 0u) << "CHECK CONDITION is no failure of the control";
        EXPECT_EQ(request.Header().ScsiStatus, 2);
        const UCHAR copied = length < 18 ? length : 18;
        EXPECT_EQ(request.Header().SenseInfoLength, copied);
        EXPECT_EQ(0, memcmp(request.Sense(), sense, copied));
        for (int i = copied; i < length + 4; ++i) EXPECT_EQ(request.Sense()[i], 0xAA) << i;
    }
}

TEST_F(PassThroughRun, UnitWithoutAutosenseKeepsItsSenseForRequestSense) {
    DirectRequest request = MakeDirect(testUnitReady, SCSI_IOCTL_DATA_IN, nullptr, 0, 18, 4);
    ASSERT_EQ(SendDirect(port_, request), 0u);
    EXPECT_EQ(request.Header().ScsiStatus, 2);
    EXPECT_EQ(request.Header().SenseInfoLength, 0);
    EXPECT_EQ(request.Sense()[0], 0);

    DirectRequest requestSense =
        MakeDirect({0x03, 0, 0, 0, 18, 0}, SCSI_IOCTL_DATA_IN, area_.bytes, 18, 0, 4);
    ASSERT_EQ(SendDirect(port_, requestSense), 0u);
    EXPECT_EQ(requestSense.Header().ScsiStatus, 0);
    EXPECT_EQ(requestSense.Header().DataTransferLength, 18u);
    EXPECT_EQ(area_.bytes[0], 0x70);
    EXPECT_EQ(area_.bytes[2], 0x06);
    EXPECT_EQ(area_.bytes[12], 0x29);
}

TEST_F(PassThroughRun, HangingUnitBlocksOnlyItsOwnCallers) {
    std::future<DWORD> hung = SendFromThread(1, Write10Cdb);
    while (sim::HangingCommandCount() == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_EQ(hung.wait_for(std::chrono::milliseconds(0)), std::future_status::timeout);
    DirectRequest other = Read6(1, 1);
    EXPECT_EQ(SendDirect(port_, other), 0u) << "another unit answers at once";
    std::future<DWORD> queued = SendFromThread(1, read6);
    EXPECT_EQ(queued.wait_for(std::chrono::milliseconds(150)), std::future_status::timeout);
    sim::ReleaseHangs();
    ASSERT_EQ(hung.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    ASSERT_EQ(queued.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_EQ(hung.get(), 0u);
    EXPECT_EQ(queued.get(), 0u);
}

// The request of a simulated thread that hangs in unit 1; it outlives the
// thread, which never returns from its call once terminated.
DirectRequest hungRequest;

// The start routine of a simulated thread that hangs in unit 1.
void __cdecl HangInUnitOne(void* done) {
    SendDirect(DevicesTest::Open("scsi0:"), hungRequest);
    static_cast<std::atomic<bool>*>(done)->store(true);
}

TEST_F(PassThroughRun, ThreadTerminatedInACommandEndsWhenTheCommandEnds) {
    static std::atomic<bool> returned{false};  // outlives the parked thread
    returned.store(false);
    hungRequest = MakeDirect(Write10Cdb, SCSI_IOCTL_DATA_OUT, nullptr, 0, 18, 1);
    hungRequest.Header().ScsiStatus = 0x55;
    const HANDLE thread = reinterpret_cast<HANDLE>(_beginthread(HangInUnitOne, 0, &returned));
    ASSERT_NE(thread, INVALID_HANDLE_VALUE);
    for (int waited = 0; waited < 10000 && sim::HangingCommandCount() == 0; ++waited) Sleep(1);
    std::future<DWORD> queued = SendFromThread(1, read6);
    // The port driver cancels no pass-through: the thread, and the unit,
    // are held until the command ends.
    ASSERT_TRUE(TerminateThread(thread, 1));
    EXPECT_EQ(WaitForSingleObject(thread, 100), WAIT_TIMEOUT);
    EXPECT_EQ(queued.wait_for(std::chrono::milliseconds(0)), std::future_status::timeout);
    sim::ReleaseHangs();
    EXPECT_EQ(WaitForSingleObject(thread, 10000), WAIT_OBJECT_0);
    ASSERT_EQ(queued.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_EQ(queued.get(), 0u);
    // Its answer reached the output buffer; nothing returned to its code.
    EXPECT_EQ(hungRequest.Header().ScsiStatus, 0);
    EXPECT_FALSE(returned.load());
    CloseHandle(thread);
}

TEST_F(PassThroughRun, UninstallingTheMachineEndsAHang) {
    std::future<DWORD> hung = SendFromThread(1, Write10Cdb);
    while (sim::HangingCommandCount() == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    sim::UninstallMachine();
    ASSERT_EQ(hung.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    hung.get();
    DirectRequest late = Read6(0, 1);
    EXPECT_EQ(SendDirect(port_, late), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST_F(PassThroughRun, LogKeepsTheMostRecentPassThroughsAsReceived) {
    BufferedRequest request = MakeBuffered(read6, SCSI_IOCTL_DATA_IN, 32, 18, 1);
    const std::vector<uint8_t> sent = request.buffer;
    ASSERT_EQ(SendBuffered(port_, request), 0u);
    DirectRequest failing = Read6(0, 9);
    EXPECT_EQ(SendDirect(port_, failing), 1167u);
    IO_SCSI_CAPABILITIES capabilities = {};
    EXPECT_EQ(Control(port_, IOCTL_SCSI_GET_CAPABILITIES, &capabilities, 24), 0u)
        << "other controls are not logged";

    const std::vector<sim::PassThroughRecord> log = sim::PassThroughLog();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[0].device, "\\\\.\\scsi0:");
    EXPECT_EQ(log[0].controlCode, static_cast<DWORD>(IOCTL_SCSI_PASS_THROUGH));
    EXPECT_EQ(log[0].outputLength, sent.size());
    EXPECT_EQ(log[0].input, sent) << "as received, not as answered";
    EXPECT_EQ(0, memcmp(log[0].header, sent.data(), 44));
    EXPECT_EQ(log[0].error, 0u);
    EXPECT_EQ(log[1].controlCode, static_cast<DWORD>(IOCTL_SCSI_PASS_THROUGH_DIRECT));
    EXPECT_EQ(log[1].inputLength, 44u);
    EXPECT_EQ(log[1].header[4], 9);
    EXPECT_EQ(log[1].error, 1167u);
    sim::ClearPassThroughLog();
    EXPECT_TRUE(sim::PassThroughLog().empty());

    // A long run keeps only the most recent: the first of one more than
    // the limit is the one dropped.
    DirectRequest first = Read6(0, 9);
    SendDirect(port_, first);
    for (size_t i = 0; i < sim::LoggedRequestLimit; ++i) {
        DirectRequest next = Read6(0, 10);
        SendDirect(port_, next);
    }
    const std::vector<sim::PassThroughRecord> kept = sim::PassThroughLog();
    ASSERT_EQ(kept.size(), sim::LoggedRequestLimit);
    EXPECT_EQ(kept.front().header[4], 10);
}

// Port 3 takes 2 pages and 16-byte aligned data. A buffered request's data
// lies in the system buffer: 8 bytes past a 16-byte boundary below a page,
// page aligned from a page up.
TEST_F(PassThroughRun, DataMustFitThePortsPagesAndAlignment) {
    alignas(4096) static uint8_t pages[3 * 4096];
    struct Case {
        const char* device;
        bool direct;
        ULONG at, length, size;  // offset (in a page or the buffer), length, buffer size
        DWORD error;
    } cases[] = {
        {"scsi3:", true, 0, 8192, 0, 0},       {"scsi3:", true, 16, 8192, 0, 87},
        {"scsi3:", true, 16, 4096, 0, 0},      {"Tape0", true, 16, 8192, 0, 87},
        {"scsi3:", false, 64, 64, 128, 87},    {"scsi3:", false, 72, 64, 136, 0},
        {"scsi3:", false, 64, 64, 4096, 0},    {"scsi3:", false, 64, 8128, 8192, 0},
        {"scsi3:", false, 64, 8129, 8193, 87}, {"Tape0", false, 64, 8129, 8193, 87}};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.device) + " " + std::to_string(c.at) + "+" + std::to_string(c.length));
        DirectRequest direct = MakeDirect(read6, SCSI_IOCTL_DATA_IN, pages + c.at, c.length);
        BufferedRequest buffered = MakeBuffered(read6, SCSI_IOCTL_DATA_IN, c.length, 0);
        buffered.buffer.resize(c.size);
        buffered.Header().DataBufferOffset = c.at;
        EXPECT_EQ(c.direct ? SendDirect(Open(c.device), direct)
                           : Send(Open(c.device), IOCTL_SCSI_PASS_THROUGH, buffered.buffer.data(), 44, c.size),
                  c.error);
    }
}

// The output gets exactly the count reported: DataBufferOffset plus the
// bytes moved for buffered data-in, otherwise the header and the sense.
TEST_F(PassThroughRun, BufferedOutputGetsExactlyTheReportedBytes) {
    struct Case {
        uint8_t opcode;  // 8: 10 bytes of data; 0: CHECK CONDITION with 18 bytes of sense
        UCHAR dataIn;
        ULONG senseAt;
        DWORD returned;
    } cases[] = {{8, SCSI_IOCTL_DATA_IN, 44, 74}, {0, SCSI_IOCTL_DATA_IN, 44, 64},
                 {0, SCSI_IOCTL_DATA_OUT, 44, 62}, {0, SCSI_IOCTL_DATA_IN, 96, 64}};
    for (const Case& c : cases) {
        BufferedRequest request = MakeBuffered({c.opcode, 0, 0, 0, 1, 0}, c.dataIn, 32, 18, 1);
        request.Header().SenseInfoOffset = c.senseAt;
        request.buffer.resize(120, 0x11);
        std::vector<uint8_t> out(120, 0xEE);
        DWORD returned = 0;
        ASSERT_TRUE(DeviceIoControl(port_, IOCTL_SCSI_PASS_THROUGH, request.buffer.data(), 120,
                                    out.data(), 120, &returned, nullptr));
        EXPECT_EQ(returned, c.returned) << c.senseAt;
        EXPECT_EQ(out[0], 44);
        EXPECT_EQ(std::vector<uint8_t>(out.begin() + returned, out.end()),
                  std::vector<uint8_t>(120 - returned, 0xEE));
    }
}

// A command that ran, then failed: its data moved, its use counted and its
// sense is pending, but the header stays as the caller wrote it. One still
// running when TimeOutValue seconds pass fails with 121 then.
TEST_F(PassThroughRun, FailureAfterTheCommandRanLeavesTheHeader) {
    alignas(16) static uint8_t data[16];
    for (const auto& [opcode, error] : {std::pair<uint8_t, DWORD>(0x28, 121), {0x88, 1117}, {0xA8, 1167}}) {
        const std::vector<uint8_t> cdb = {opcode, 0, 0, 0, 0, 0};
        DirectRequest direct = MakeDirect(cdb, SCSI_IOCTL_DATA_IN, data, 16);
        BufferedRequest buffered = MakeBuffered(cdb, SCSI_IOCTL_DATA_IN, 16);
        buffered.buffer.resize(88);
        buffered.Header().DataBufferOffset = 72;  // 16-byte aligned in the system buffer
        const std::vector<uint8_t> sentDirect = direct.buffer, sentBuffered = buffered.buffer;
        EXPECT_EQ(SendDirect(Open("scsi3:"), direct), error);
        EXPECT_EQ(direct.buffer, sentDirect);
        EXPECT_EQ(data[1], 0xBB) << "the data moved";
        EXPECT_EQ(SendBuffered(Open("scsi3:"), buffered), error);
        EXPECT_EQ(buffered.buffer, sentBuffered);
        DirectRequest sense = MakeDirect({0x03, 0, 0, 0, 16, 0}, SCSI_IOCTL_DATA_IN, data, 16);
        ASSERT_EQ(SendDirect(Open("scsi3:"), sense), 0u);
        EXPECT_EQ(data[2], 3) << "the sense is pending";
        ASSERT_EQ(SendDirect(Open("scsi3:"), direct), 0u) << "both uses were counted";
        EXPECT_EQ(data[0], 0xCC);
    }
    for (const auto& [opcode, error] : {std::pair<uint8_t, DWORD>(0x2B, 121), {0x2C, 121}, {0x2D, 0}}) {
        std::future<DWORD> sent = std::async(std::launch::async, [opcode = opcode] {
            DirectRequest request = MakeDirect({opcode, 0, 0, 0, 0, 0}, SCSI_IOCTL_DATA_IN, nullptr, 0);
            request.Header().TimeOutValue = 1;
            return SendDirect(Open("scsi3:"), request);
        });
        const bool ended = sent.wait_for(std::chrono::seconds(5)) == std::future_status::ready;
        sim::ReleaseHangs();
        EXPECT_TRUE(ended);
        EXPECT_EQ(sent.get(), error) << int(opcode);
    }
}

}  // namespace
