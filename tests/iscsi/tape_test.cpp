// The real tape unit through the library: variable blocks written, a
// filemark, positioning, the same blocks read back, and the filemark
// reported in the sense of the READ that meets it.
#include "iscsi/iscsi_fixture.h"

namespace iscsitest {
namespace {

class Tape : public IscsiTest {
protected:
    void SetUp() override {
        IscsiTest::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        InstallTarget(0);
    }
};

std::vector<BYTE> Variable(BYTE opcode, size_t length) {
    return {opcode, 0, BYTE(length >> 16), BYTE(length >> 8), BYTE(length), 0};
}

const std::vector<BYTE> rewind = {0x01, 0, 0, 0, 0, 0};
const std::vector<BYTE> writeFilemark = {0x10, 0, 0, 0, 1, 0};
const std::vector<BYTE> spaceBlock = {0x11, 0, 0, 0, 1, 0};
const std::vector<BYTE> spaceFilemark = {0x11, 1, 0, 0, 1, 0};
const BYTE checkCondition = 0x02;
const BYTE filemarkBit = 0x80;

TEST_P(Tape, BlocksAndFilemarkWrittenThenSpacedAndReadBack) {
    const size_t sizes[] = {768, 17, 4096, 100};
    std::vector<std::vector<uint8_t>> blocks;
    for (size_t size : sizes) blocks.push_back(Pattern(size, static_cast<uint32_t>(size)));
    const size_t none = SIZE_MAX;

    const struct {
        const char* step;
        std::vector<BYTE> cdb;
        size_t block;  // whose bytes are written or must be read; none
        BYTE status;
        BYTE targetStatus;
        BYTE senseFlags;  // byte 2's FILEMARK, EOM and ILI bits
        uint32_t sense;   // key, ASC, ASCQ
    } steps[] = {
        {"rewind", rewind, none, SS_COMP, 0, 0, 0},
        {"write A", Variable(0x0A, sizes[0]), 0, SS_COMP, 0, 0, 0},
        {"write B", Variable(0x0A, sizes[1]), 1, SS_COMP, 0, 0, 0},
        {"write C", Variable(0x0A, sizes[2]), 2, SS_COMP, 0, 0, 0},
        {"write filemark", writeFilemark, none, SS_COMP, 0, 0, 0},
        {"write D", Variable(0x0A, sizes[3]), 3, SS_COMP, 0, 0, 0},
        {"rewind", rewind, none, SS_COMP, 0, 0, 0},
        {"space over A", spaceBlock, none, SS_COMP, 0, 0, 0},
        {"read B", Variable(0x08, sizes[1]), 1, SS_COMP, 0, 0, 0},
        {"read C", Variable(0x08, sizes[2]), 2, SS_COMP, 0, 0, 0},
        {"read at the filemark", Variable(0x08, 4096), none, SS_ERR, checkCondition, filemarkBit, 0x000001},
        {"read D", Variable(0x08, sizes[3]), 3, SS_COMP, 0, 0, 0},
        {"rewind", rewind, none, SS_COMP, 0, 0, 0},
        {"space over the filemark", spaceFilemark, none, SS_COMP, 0, 0, 0},
        {"read D after spacing", Variable(0x08, sizes[3]), 3, SS_COMP, 0, 0, 0},
        {"rewind", rewind, none, SS_COMP, 0, 0, 0},
        {"read A", Variable(0x08, sizes[0]), 0, SS_COMP, 0, 0, 0},
    };
    for (const auto& s : steps) {
        SCOPED_TRACE(s.step);
        const bool writes = s.cdb[0] == 0x0A;
        std::vector<BYTE> buffer(s.block != none ? blocks[s.block].size() : s.cdb[0] == 0x08 ? 4096 : 0);
        if (writes) buffer = blocks[s.block];
        ExecRequest request;
        Execute(request, TapeTarget, writes ? SRB_DIR_OUT : SRB_DIR_IN, s.cdb,
                buffer.empty() ? nullptr : buffer.data(), static_cast<DWORD>(buffer.size()));
        ASSERT_EQ(request.Srb.SRB_Status, s.status) << "target status " << int(request.Srb.SRB_TargStat);
        EXPECT_EQ(request.Srb.SRB_TargStat, s.targetStatus);
        if (s.status != SS_COMP) {
            EXPECT_EQ(request.Sense[2] & 0xE0, s.senseFlags);
            EXPECT_EQ(SenseCode(request.Sense), s.sense) << std::hex << SenseCode(request.Sense);
        } else if (!writes && s.block != none) {
            EXPECT_TRUE(buffer == blocks[s.block]) << "the block read back differs";
        }
    }
}

LIBRARY_TEST_SUITE(Tape);

}  // namespace
}  // namespace iscsitest
