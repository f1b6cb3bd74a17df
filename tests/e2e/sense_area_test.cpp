// The public header's execute block holds the customary sense length: a
// program that declares one and asks for SENSE_LEN bytes gets them inside
// its block, and nothing after it is written.
#include "library_fixture.h"

namespace {

class SenseAreaTest : public LibraryTest {};

TEST_P(SenseAreaTest, CustomarySenseLengthStaysInsideTheDeclaredBlock) {
    Install(R"({"ports": [{"buses": [{"units": [{"target": 0, "lun": 0, "claimed": false,
                                                  "backend": {"type": "disk"}}]}]}]})");
    ASSERT_TRUE(Load());
    struct {
        SRB_ExecSCSICmd Srb;
        BYTE After[32];
    } block;
    std::memset(&block, 0xA5, sizeof block);
    const BYTE unsupported[6] = {0xFF, 0, 0, 0, 0, 0};
    std::memset(&block.Srb, 0, SRB_EXEC_HEADER_LEN);
    block.Srb.SRB_Cmd = SC_EXEC_SCSI_CMD;
    block.Srb.SRB_SenseLen = SENSE_LEN;
    block.Srb.SRB_CDBLen = 6;
    std::memcpy(block.Srb.CDBByte, unsupported, 6);
    Send(&block.Srb);
    ASSERT_EQ(PollStatus(&block.Srb, 5000), SS_ERR);
    EXPECT_EQ(block.Srb.SenseArea[0] & 0x7F, 0x70);
    EXPECT_EQ(block.Srb.SenseArea[2] & 0x0F, 0x05);  // ILLEGAL REQUEST
    for (size_t i = SENSE_LEN; i < sizeof block.Srb.SenseArea; ++i) {
        EXPECT_EQ(block.Srb.SenseArea[i], 0xA5) << "sense area byte " << i;
    }
    for (size_t i = 0; i < sizeof block.After; ++i) {
        ASSERT_EQ(block.After[i], 0xA5) << "byte " << i << " after the block";
    }
}

LIBRARY_TEST_SUITE(SenseAreaTest);

}  // namespace
