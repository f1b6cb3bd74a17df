// Drives without a port device (USB mass storage) through the exports: a
// host adapter after the scanned ones, with the limits of its adapter
// descriptor, whose units execute, abort and reset as any claimed unit.
#include "library_fixture.h"

#include <atomic>

namespace {

// Port 0 a SCSI card with a disk; port 1 the number of a removed adapter;
// ports 2 and 3 have no port device: a USB CD writer at drive E and a
// scripted USB disk whose TEST UNIT READY hangs; port 4 an iSCSI-like
// SCSI port listed after them.
const char* const usbMachine = R"({"ports": [
  {"buses": [{"units": [{"target": 1, "lun": 0, "class_device": "PhysicalDrive0",
                         "backend": {"type": "disk"}}]}]},
  {"device": false, "device_map": false},
  {"device": false, "device_map": false,
   "capabilities": {"MaximumTransferLength": 131072, "AlignmentMask": 3},
   "buses": [{"units": [{"target": 0, "lun": 0, "drive": "E",
                         "backend": {"type": "cdrom", "blocks": 64}}]}]},
  {"device": false, "device_map": false,
   "buses": [{"units": [{"target": 0, "lun": 0, "claimed": true, "class_device": "PhysicalDrive1",
                         "inquiry": {"peripheral": 0},
                         "backend": {"type": "scripted", "responses": [
                           {"opcode": "0x00", "hang": true}]}}]}]},
  {"buses": [{"units": [{"target": 0, "lun": 0, "backend": {"type": "processor"}}]}]}
]})";

const BYTE inquiry[6] = {0x12, 0, 0, 0, 36, 0};
const BYTE testUnitReady[6] = {0x00, 0, 0, 0, 0, 0};

std::atomic<int> abortedPosts{0};
void __cdecl CountAbortedPost(void*) { ++abortedPosts; }

class PortlessAdapterTest : public LibraryTest {
protected:
    void SetUp() override {
        LibraryTest::SetUp();
        if (IsSkipped()) return;
        Install(usbMachine);
        ASSERT_TRUE(Load());
    }
    void TearDown() override {
        sim::ReleaseHangs();
        LibraryTest::TearDown();
    }
    SRB_HAInquiry Inquire(BYTE ha) {
        SRB_HAInquiry srb;
        std::memset(&srb, 0, sizeof srb);
        srb.SRB_Cmd = SC_HA_INQUIRY;
        srb.SRB_HaId = ha;
        EXPECT_EQ(Send(&srb), static_cast<DWORD>(SS_COMP));
        return srb;
    }
    BYTE DeviceType(BYTE ha) {
        SRB_GDEVBlock srb;
        std::memset(&srb, 0, sizeof srb);
        srb.SRB_Cmd = SC_GET_DEV_TYPE;
        srb.SRB_HaId = ha;
        EXPECT_EQ(Send(&srb), static_cast<DWORD>(SS_COMP)) << "host adapter " << int(ha);
        return srb.SRB_DeviceType;
    }
};

TEST_P(PortlessAdapterTest, EachPortGetsAHostAdapterAfterTheScannedOnes) {
    // Ports 0 and 4 are scanned; 2 and 3 follow, in port order.
    EXPECT_EQ(SupportInfo(), (static_cast<DWORD>(SS_COMP) << 8) | 4);
    const SRB_HAInquiry writer = Inquire(2);
    EXPECT_EQ(writer.HA_Count, 4);
    EXPECT_EQ(writer.HA_SCSI_ID, 255);
    EXPECT_STREQ(reinterpret_cast<const char*>(writer.HA_Identifier), "SCSI");
    EXPECT_EQ(writer.HA_Unique[0] | (writer.HA_Unique[1] << 8), 3);  // alignment mask
    EXPECT_EQ(writer.HA_Unique[3], 8);                                // targets
    DWORD maxTransfer = 0;
    std::memcpy(&maxTransfer, writer.HA_Unique + 4, 4);
    EXPECT_EQ(maxTransfer, 131072UL);
    EXPECT_EQ(DeviceType(2), 0x05);
    EXPECT_EQ(DeviceType(3), 0x00);
    EXPECT_EQ(DeviceType(1), 0x03);  // port 4's processor

    ExecRequest request;
    BYTE data[36] = {};
    PrepareExec(request, 2, 0, 0, SRB_DIR_IN, inquiry, 6, data, sizeof data);
    Send(&request.Srb);
    ASSERT_EQ(PollStatus(&request.Srb, 5000), SS_COMP);
    EXPECT_EQ(data[0], 0x05);
}

TEST_P(PortlessAdapterTest, RequestsQueueAbortAndResetAsForAnyClaimedUnit) {
    ExecRequest busy;
    PrepareExec(busy, 3, 0, 0, 0, testUnitReady, 6, nullptr, 0);
    Send(&busy.Srb);
    ASSERT_TRUE(WorkerHangs());

    ExecRequest queued;
    PrepareExec(queued, 2, 0, 0, SRB_POSTING, testUnitReady, 6, nullptr, 0);
    queued.Srb.SRB_PostProc = reinterpret_cast<void*>(&CountAbortedPost);
    ASSERT_EQ(Send(&queued.Srb), static_cast<DWORD>(SS_PENDING));
    abortedPosts = 0;
    SRB_Abort abort;
    std::memset(&abort, 0, sizeof abort);
    abort.SRB_Cmd = SC_ABORT_SRB;
    abort.SRB_HaId = 2;
    abort.SRB_ToAbort = &queued.Srb;
    EXPECT_EQ(Send(&abort), static_cast<DWORD>(SS_COMP));
    EXPECT_EQ(queued.Srb.SRB_Status, SS_ABORTED);
    EXPECT_EQ(abortedPosts.load(), 1);

    SRB_BusDeviceReset reset;
    std::memset(&reset, 0, sizeof reset);
    reset.SRB_Cmd = SC_RESET_DEV;
    reset.SRB_HaId = 3;
    EXPECT_EQ(Send(&reset), static_cast<DWORD>(SS_COMP));

    sim::ReleaseHangs();
    EXPECT_NE(PollStatus(&busy.Srb, 5000), SS_PENDING);
    // Past the last host adapter nothing is mapped.
    SRB_HAInquiry past;
    std::memset(&past, 0, sizeof past);
    past.SRB_Cmd = SC_HA_INQUIRY;
    past.SRB_HaId = 4;
    EXPECT_EQ(Send(&past), static_cast<DWORD>(SS_INVALID_HA));
}

LIBRARY_TEST_SUITE(PortlessAdapterTest);

}  // namespace
