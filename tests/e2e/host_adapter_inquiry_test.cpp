// Host adapter inquiry and the support information, byte for byte, through
// the loaded library's exports.
#include "library_fixture.h"

namespace {

// Port 0: an atapi port (no host adapters); port 1: one hba port with two
// buses, the second without an initiator id; its capabilities are unusual
// so that every HA_Unique byte is checked.
const char twoBusMachine[] = R"({
  "ports": [
    {"driver": "atapi", "buses": [{"units": []}]},
    {"driver": "hba", "image_path": "\\SystemRoot\\System32\\drivers\\wideHBA.sys",
     "capabilities": {"MaximumTransferLength": "0x12345", "AlignmentMask": "0x1000F"},
     "buses": [
       {"initiator_id": 6, "units": [
         {"target": 9, "lun": 0, "claimed": false, "inquiry": {"peripheral": 3},
          "backend": {"type": "processor"}}]},
       {"initiator_id": null, "units": []}
     ]}
  ]
})";

constexpr BYTE fill = 0xA5;

SRB_HAInquiry FilledInquiry(BYTE ha) {
    SRB_HAInquiry srb;
    std::memset(&srb, fill, sizeof srb);
    srb.SRB_Cmd = SC_HA_INQUIRY;
    srb.SRB_HaId = ha;
    return srb;
}

class HostAdapterInquiryTest : public LibraryTest {};

TEST_P(HostAdapterInquiryTest, FillsEveryFieldOfBothBusesAndLeavesTheRestAlone) {
    Install(twoBusMachine);
    ASSERT_TRUE(Load());
    EXPECT_EQ(SupportInfo(), 0x00000102u);

    for (BYTE ha = 0; ha < 2; ++ha) {
        SCOPED_TRACE(static_cast<int>(ha));
        SRB_HAInquiry srb = FilledInquiry(ha);
        ASSERT_EQ(Send(&srb), static_cast<DWORD>(SS_COMP));
        const BYTE* bytes = reinterpret_cast<const BYTE*>(&srb);

        EXPECT_EQ(bytes[0], SC_HA_INQUIRY);
        EXPECT_EQ(bytes[1], SS_COMP);
        EXPECT_EQ(bytes[2], ha);
        for (int offset = 3; offset < 8; ++offset) EXPECT_EQ(bytes[offset], fill) << offset;

        EXPECT_EQ(srb.HA_Count, 2);
        EXPECT_EQ(srb.HA_SCSI_ID, ha == 0 ? 6 : 0xFF);
        EXPECT_EQ(std::memcmp(bytes + 10, "ASPI for WIN32\0", 15), 0);
        EXPECT_EQ(bytes[25], fill);
        // The identifier is the driver's image name up to its first dot,
        // upper-cased; the bytes after its NUL are the caller's.
        EXPECT_EQ(std::memcmp(bytes + 26, "WIDEHBA\0", 8), 0);
        for (int offset = 34; offset < 42; ++offset) EXPECT_EQ(bytes[offset], fill) << offset;

        EXPECT_EQ(bytes[42], 0x0F);  // alignment mask, low 16 bits
        EXPECT_EQ(bytes[43], 0x00);
        EXPECT_EQ(bytes[44], 0x00);  // no residual byte counts
        EXPECT_EQ(bytes[45], 16);    // target id 9 on bus 0 makes 16 targets for the port
        EXPECT_EQ(bytes[46], 0x45);  // maximum transfer length, little-endian
        EXPECT_EQ(bytes[47], 0x23);
        EXPECT_EQ(bytes[48], 0x01);
        EXPECT_EQ(bytes[49], 0x00);
        for (int offset = 50; offset < 57; ++offset) EXPECT_EQ(bytes[offset], 0) << offset;
        for (int offset = 57; offset < 60; ++offset) EXPECT_EQ(bytes[offset], fill) << offset;
    }
}

TEST_P(HostAdapterInquiryTest, NoHostAdaptersRefusesEveryCommand) {
    Install(R"({"ports": []})");
    ASSERT_TRUE(Load());
    EXPECT_EQ(SupportInfo(), 0x00000100u);

    for (int command = 0; command <= 0xFF; ++command) {
        SRB_HAInquiry srb = FilledInquiry(0);
        srb.SRB_Cmd = static_cast<BYTE>(command);
        ASSERT_EQ(Send(&srb), static_cast<DWORD>(SS_INVALID_HA)) << command;
        EXPECT_EQ(srb.SRB_Status, SS_INVALID_HA);
        EXPECT_EQ(srb.HA_Count, fill);  // nothing but the status is written
    }
}

TEST_P(HostAdapterInquiryTest, AdapterNumberEqualToTheCountIsInvalidForEveryCode) {
    Install(twoBusMachine);
    ASSERT_TRUE(Load());
    for (int command = 0; command <= 0xFF; ++command) {
        SRB_HAInquiry srb = FilledInquiry(2);
        srb.SRB_Cmd = static_cast<BYTE>(command);
        ASSERT_EQ(Send(&srb), static_cast<DWORD>(SS_INVALID_HA)) << command;
    }
    SRB_HAInquiry undefined = FilledInquiry(1);
    undefined.SRB_Cmd = 0x05;
    EXPECT_EQ(Send(&undefined), static_cast<DWORD>(SS_INVALID_SRB));
    EXPECT_EQ(undefined.SRB_Status, SS_INVALID_SRB);
}

TEST_P(HostAdapterInquiryTest, NullRequestBlockIsRefusedWithoutBeingRead) {
    Install(twoBusMachine);
    ASSERT_TRUE(Load());
    EXPECT_EQ(Send(nullptr), static_cast<DWORD>(SS_INVALID_SRB));
}

}  // namespace

LIBRARY_TEST_SUITE(HostAdapterInquiryTest);
