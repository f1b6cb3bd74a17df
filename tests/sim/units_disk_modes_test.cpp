// The disk's mode pages through MODE SELECT and MODE SENSE, and REPORT
// SUPPORTED OPERATION CODES against what the disk answers.
#include "units_test_support.h"

namespace {

using namespace units_test;

// Returns the caching page as MODE SENSE(10) gives it for `pageControl`,
// without block descriptors.
std::vector<uint8_t> CachingPage(sim::UnitBackend& disk, uint8_t pageControl) {
    std::vector<uint8_t> reply(64);
    const sim::ScsiOutcome outcome =
        RunIn(disk, Cdb({0x5A, 8, uint8_t(pageControl << 6 | 0x08), 0, 0, 0, 0, 0, 64, 0}), reply);
    EXPECT_EQ(outcome.status, 0);
    EXPECT_EQ(outcome.bytesMoved, 28u);
    return Slice(reply, 8, 28);
}

std::vector<uint8_t> SelectList(const std::vector<uint8_t>& page) {
    std::vector<uint8_t> list(4, 0);
    list.insert(list.end(), page.begin(), page.end());
    return list;
}

TEST(DiskModes, SelectChangesOnlyChangeableBitsAndSavesWithSp) {
    auto disk = MustCreate(DiskUnit());
    std::vector<uint8_t> page = CachingPage(*disk, 0);
    EXPECT_EQ(page[2] & 0x05, 0x00) << "write cache off, read cache on";
    EXPECT_EQ(CachingPage(*disk, 1)[2], 0x05) << "WCE and RCD changeable";
    page[2] |= 0x04;
    std::vector<uint8_t> list = SelectList(page);
    const uint8_t length = uint8_t(list.size());
    ASSERT_EQ(RunOut(*disk, Cdb({0x15, 0x10, 0, 0, length, 0}), list).status, 0);
    EXPECT_EQ(CachingPage(*disk, 0)[2] & 0x04, 0x04);
    EXPECT_EQ(CachingPage(*disk, 3)[2] & 0x04, 0x00) << "not saved without SP";
    EXPECT_EQ(CachingPage(*disk, 2)[2] & 0x04, 0x00) << "defaults stay";
    ASSERT_EQ(RunOut(*disk, Cdb({0x15, 0x11, 0, 0, length, 0}), list).status, 0);
    EXPECT_EQ(CachingPage(*disk, 3)[2] & 0x04, 0x04);

    // A bit that is not changeable refuses the whole list; so does a page
    // of another length, and a list cut inside a page.
    std::vector<uint8_t> fixed = list;
    fixed[4 + 3] = 0x01;
    ExpectFixedSense(RunOut(*disk, Cdb({0x15, 0x10, 0, 0, length, 0}), fixed).sense, 5, 0x26, 0);
    std::vector<uint8_t> longer = list;
    longer[5] = 0x13;
    ExpectFixedSense(RunOut(*disk, Cdb({0x15, 0x10, 0, 0, length, 0}), longer).sense, 5, 0x26, 0);
    ExpectFixedSense(RunOut(*disk, Cdb({0x15, 0x10, 0, 0, uint8_t(length - 1), 0}), list).sense, 5, 0x1A, 0);
    EXPECT_EQ(CachingPage(*disk, 0)[2] & 0x04, 0x04) << "a refused list changes nothing";
}

TEST(DiskModes, SupportedOperationCodesAreTheCommandsAnswered) {
    auto disk = MustCreate(DiskUnit());
    std::vector<uint8_t> all(1024);
    const sim::ScsiOutcome listed = RunIn(*disk, Cdb({0xA3, 0x0C, 0, 0, 0, 0, 0, 0, 4, 0, 0, 0}), all);
    ASSERT_EQ(listed.status, 0);
    const uint32_t length = uint32_t(all[0]) << 24 | all[1] << 16 | all[2] << 8 | all[3];
    ASSERT_EQ(length % 8, 0u);
    for (uint32_t at = 4; at < 4 + length; at += 8) {
        std::vector<uint8_t> cdb(16, 0), reply(64);
        cdb[0] = all[at];
        cdb[1] = all[at + 3];  // the service action, where the command has one
        sim::ScsiCommand command = Cdb({});
        for (size_t i = 0; i < 16; ++i) command.cdb[i] = cdb[i];
        command.cdbLength = uint8_t(all[at + 6] << 8 | all[at + 7]);
        const sim::ScsiOutcome answered = RunIn(*disk, command, reply);
        EXPECT_FALSE(answered.sense.size() > 12 && answered.sense[12] == 0x20)
            << "listed opcode 0x" << std::hex << int(all[at]) << " is refused as unknown";
    }
    // One command: WRITE(16) supported with a 16-byte usage map; 0xFF not.
    std::vector<uint8_t> one(64);
    ASSERT_EQ(RunIn(*disk, Cdb({0xA3, 0x0C, 1, 0x8A, 0, 0, 0, 0, 0, 64, 0, 0}), one).status, 0);
    EXPECT_EQ(one[1] & 7, 3);
    EXPECT_EQ(one[3], 16);
    ASSERT_EQ(RunIn(*disk, Cdb({0xA3, 0x0C, 1, 0xFF, 0, 0, 0, 0, 0, 64, 0, 0}), one).status, 0);
    EXPECT_EQ(one[1] & 7, 1);
    // A command with service actions asked for without one is a field error.
    ExpectFixedSense(RunIn(*disk, Cdb({0xA3, 0x0C, 1, 0x9E, 0, 0, 0, 0, 0, 64, 0, 0}), one).sense, 5, 0x24, 0);
}

TEST(DiskModes, SixteenByteCommandsCheckTheirRangeWithoutWrapping) {
    auto disk = MustCreate(DiskUnit(2048));
    std::vector<uint8_t> buffer(1024);
    // READ(16) at the last LBA the field holds, for 2 blocks: a wrapping sum
    // would land on block 0.
    sim::ScsiCommand wrap = Cdb({0x88, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 2, 0, 0});
    ExpectFixedSense(RunIn(*disk, wrap, buffer).sense, 5, 0x21, 0);
    sim::ScsiCommand last = Cdb({0x88, 0, 0, 0, 0, 0, 0, 0, 0x07, 0xFE, 0, 0, 0, 2, 0, 0});
    EXPECT_EQ(RunIn(*disk, last, buffer).status, 0);
    std::vector<uint8_t> capacity(32);
    ASSERT_EQ(RunIn(*disk, Cdb({0x9E, 0x10, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 32, 0, 0}), capacity).status, 0);
    EXPECT_EQ(capacity[6] << 8 | capacity[7], 2047);
    EXPECT_EQ(capacity[10] << 8 | capacity[11], 512);
}

}  // namespace
