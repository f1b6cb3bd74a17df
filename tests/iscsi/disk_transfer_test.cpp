// Data written through the library lands in the disk's backing file where
// the command block says and reads back equal, whatever the transfer's
// size and the buffer's alignment; a read past the end fails as the target
// says, with its sense in the request.
#include "iscsi/iscsi_fixture.h"

namespace iscsitest {
namespace {

const DWORD blockSize = 512;

std::vector<BYTE> Rw10(BYTE opcode, uint32_t lba, uint16_t blocks) {
    return {opcode, 0, BYTE(lba >> 24), BYTE(lba >> 16), BYTE(lba >> 8), BYTE(lba),
            0, BYTE(blocks >> 8), BYTE(blocks), 0};
}

class DiskTransfer : public IscsiTest {
protected:
    void SetUp() override {
        IscsiTest::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        InstallTarget(0);
    }
};

// Misalignments past the port's AlignmentMask make the library fall back
// to the buffered control; 64 KiB off a page boundary takes 17 pages.
const struct {
    DWORD length;
    size_t misalignment;
    uint32_t lba;
} transferCases[] = {
    {512, 0, 1000},    {512, 1, 1100},     {1536, 3, 1200},    {4096, 0, 1300},
    {4096, 2, 1400},   {33280, 1, 1500},   {65536, 0, 1700},   {65536, 1, 1900},
    {65536, 4094, 2100},
};

TEST_P(DiskTransfer, WrittenPatternIsInTheBackingFileAndReadsBack) {
    uint32_t seed = static_cast<uint32_t>(time(nullptr));
    for (const auto& c : transferCases) {
        SCOPED_TRACE(std::to_string(c.length) + " bytes at +" + std::to_string(c.misalignment));
        const std::vector<uint8_t> pattern = Pattern(c.length, ++seed);
        const uint16_t blocks = static_cast<uint16_t>(c.length / blockSize);
        std::vector<BYTE> storage(c.length + 8192);
        BYTE* page = storage.data() + (4096 - reinterpret_cast<uintptr_t>(storage.data()) % 4096);
        BYTE* buffer = page + c.misalignment;

        std::copy(pattern.begin(), pattern.end(), buffer);
        ExecRequest write;
        Execute(write, DiskTarget, SRB_DIR_OUT, Rw10(0x2A, c.lba, blocks), buffer, c.length);
        ASSERT_EQ(write.Srb.SRB_Status, SS_COMP) << "target status " << int(write.Srb.SRB_TargStat);
        EXPECT_TRUE(FileBytes(Folder() + "/disk.img", uint64_t(c.lba) * blockSize, c.length) == pattern)
            << "the backing file does not hold the pattern at block " << c.lba;

        std::fill(buffer, buffer + c.length, 0);
        ExecRequest read;
        Execute(read, DiskTarget, SRB_DIR_IN, Rw10(0x28, c.lba, blocks), buffer, c.length);
        ASSERT_EQ(read.Srb.SRB_Status, SS_COMP);
        EXPECT_TRUE(std::equal(pattern.begin(), pattern.end(), buffer)) << "read back differs";
    }
}

TEST_P(DiskTransfer, ReadPastTheEndFailsWithTheTargetsSense) {
    int exitCode = -1;
    const uint32_t diskBlocks = static_cast<uint32_t>(
        std::stoull(RunCommand("stat -c %s '" + Folder() + "/disk.img'", &exitCode)) / blockSize);
    const struct {
        uint32_t lba;
        uint16_t blocks;
        BYTE senseLength;
        BYTE status;
        BYTE targetStatus;
        uint32_t sense;  // key, ASC, ASCQ as the sense area holds them; 0: untouched
    } cases[] = {
        {diskBlocks, 1, 32, SS_ERR, 0x02, 0x052100},
        {diskBlocks - 1, 2, 32, SS_ERR, 0x02, 0x052100},
        {0xFFFFFFF0u, 1, 18, SS_ERR, 0x02, 0x052100},
        {diskBlocks, 1, 0, SS_ERR, 0x02, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("block " + std::to_string(c.lba) + ", sense length " + std::to_string(c.senseLength));
        std::vector<BYTE> buffer(c.blocks * blockSize);
        ExecRequest request;
        Execute(request, DiskTarget, SRB_DIR_IN, Rw10(0x28, c.lba, c.blocks), buffer.data(),
                static_cast<DWORD>(buffer.size()), c.senseLength);
        EXPECT_EQ(request.Srb.SRB_Status, c.status);
        EXPECT_EQ(request.Srb.SRB_HaStat, 0);
        EXPECT_EQ(request.Srb.SRB_TargStat, c.targetStatus);
        if (c.sense != 0) {
            EXPECT_EQ(request.Sense[0] & 0x7F, 0x70);
            EXPECT_EQ(SenseCode(request.Sense), c.sense) << std::hex << SenseCode(request.Sense);
        } else {
            EXPECT_EQ(request.Sense[0], 0xCC) << "sense written past a sense length of 0";
        }
    }
}

LIBRARY_TEST_SUITE(DiskTransfer);

}  // namespace
}  // namespace iscsitest
