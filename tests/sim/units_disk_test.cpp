// The emulated disk: capacity, reads and writes in memory and in an image
// file, block range checks at the edge of the medium, short buffers, MODE
// SENSE, VERIFY and SYNCHRONIZE CACHE.
#include "units_test_support.h"

#include <algorithm>
#include <cstdio>

using namespace units_test;

namespace {

TEST(DiskCapacity, ReadCapacityGivesLastLbaAndBlockSize) {
    std::unique_ptr<sim::UnitBackend> disk = MustCreate(DiskUnit(0x12345, 4096));
    ASSERT_TRUE(disk);
    std::vector<uint8_t> data(8, 0xEE);
    sim::ScsiOutcome outcome = RunIn(*disk, Cdb10(0x25, 0, 0), data);
    EXPECT_EQ(outcome.status, sim::StatusGood);
    EXPECT_EQ(outcome.bytesMoved, 8u);
    EXPECT_EQ(data, (std::vector<uint8_t>{0x00, 0x01, 0x23, 0x44, 0x00, 0x00, 0x10, 0x00}));
    std::vector<uint8_t> small(3, 0xEE);
    EXPECT_EQ(RunIn(*disk, Cdb10(0x25, 0, 0), small).bytesMoved, 3u);
    EXPECT_EQ(small, Slice(data, 0, 3));
}

TEST(DiskReadWrite, WrittenBlocksReadBackAndOthersStayZero) {
    std::unique_ptr<sim::UnitBackend> disk = MustCreate(DiskUnit());
    ASSERT_TRUE(disk);
    std::vector<uint8_t> written = Pattern(3 * 512, 11);
    sim::ScsiOutcome outcome = RunOut(*disk, Cdb10(Write10, 100, 3), written);
    EXPECT_EQ(outcome.status, sim::StatusGood);
    EXPECT_EQ(outcome.bytesMoved, 3u * 512);
    std::vector<uint8_t> read(5 * 512, 0xEE);
    outcome = RunIn(*disk, Cdb10(Read10, 99, 5), read);
    EXPECT_EQ(outcome.status, sim::StatusGood);
    EXPECT_EQ(outcome.bytesMoved, 5u * 512);
    std::vector<uint8_t> expected(5 * 512, 0);
    std::copy(written.begin(), written.end(), expected.begin() + 512);
    EXPECT_EQ(read, expected);
}

TEST(DiskReadWrite, SixByteCommandsUseTwentyOneBitLbaAndZeroMeans256) {
    std::unique_ptr<sim::UnitBackend> disk = MustCreate(DiskUnit(0x200000 + 300));
    ASSERT_TRUE(disk);
    std::vector<uint8_t> written = Pattern(256 * 512, 3);
    sim::ScsiOutcome outcome = RunOut(*disk, Cdb6(0x0A, 0x1FFF00, 0), written);
    EXPECT_EQ(outcome.status, sim::StatusGood);
    EXPECT_EQ(outcome.bytesMoved, 256u * 512);
    std::vector<uint8_t> read(256 * 512, 0);
    EXPECT_EQ(RunIn(*disk, Cdb10(Read10, 0x1FFF00, 256), read).status, sim::StatusGood);
    EXPECT_EQ(read, written);
    read.assign(256 * 512, 0);
    outcome = RunIn(*disk, Cdb6(0x08, 0x1FFF00, 0), read);
    EXPECT_EQ(outcome.status, sim::StatusGood);
    EXPECT_EQ(outcome.bytesMoved, 256u * 512);
    EXPECT_EQ(read, written);
    std::vector<uint8_t> one(512, 0);
    EXPECT_EQ(RunIn(*disk, Cdb6(0x08, 0x1FFF01, 1), one).bytesMoved, 512u);
    EXPECT_EQ(one, Slice(written, 512, 1024));
}

TEST(DiskRange, BlocksPastTheLastAreRefusedWithoutWrapping) {
    // The second disk is the largest a 32-bit LBA addresses; memory is
    // allocated only where written.
    struct Case {
        const char* what;
        uint32_t blocks;
        sim::ScsiCommand command;
        bool out;
        bool good;
    };
    const Case cases[] = {
        {"write last", 2048, Cdb10(Write10, 2047, 1), true, true},
        {"read last", 2048, Cdb10(Read10, 2047, 1), false, true},
        {"read next", 2048, Cdb10(Read10, 2048, 1), false, false},
        {"write next", 2048, Cdb10(Write10, 2048, 1), true, false},
        {"two over the end", 2048, Cdb10(Read10, 2047, 2), false, false},
        {"READ(6) two over", 2048, Cdb6(0x08, 2047, 2), false, false},
        {"READ(6) 256 over", 2048, Cdb6(0x08, 1793, 0), false, false},
        {"READ(6) 256 to the end", 2048, Cdb6(0x08, 1792, 0), false, true},
        {"read wrapping", 0xFFFFFFFFu, Cdb10(Read10, 0xFFFFFFF0u, 0x20), false, false},
        {"write wrapping", 0xFFFFFFFFu, Cdb10(Write10, 0xFFFFFFF0u, 0x20), true, false},
        {"read 2^32-1", 0xFFFFFFFFu, Cdb10(Read10, 0xFFFFFFFFu, 1), false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::unique_ptr<sim::UnitBackend> disk = MustCreate(DiskUnit(c.blocks));
        ASSERT_TRUE(disk);
        std::vector<uint8_t> buffer(256 * 512, 0x5A);
        sim::ScsiOutcome outcome = c.out ? RunOut(*disk, c.command, buffer)
                                         : RunIn(*disk, c.command, buffer);
        if (c.good) {
            EXPECT_EQ(outcome.status, sim::StatusGood);
        } else {
            ExpectCheckCondition(outcome, 5, 0x21, 0);
            EXPECT_EQ(outcome.bytesMoved, 0u);
        }
    }
    std::unique_ptr<sim::UnitBackend> huge = MustCreate(DiskUnit(0xFFFFFFFFu));
    ASSERT_TRUE(huge);
    std::vector<uint8_t> last = Pattern(512, 77);
    EXPECT_EQ(RunOut(*huge, Cdb10(Write10, 0xFFFFFFFEu, 1), last).status, sim::StatusGood);
    std::vector<uint8_t> read(512, 0);
    EXPECT_EQ(RunIn(*huge, Cdb10(Read10, 0xFFFFFFFEu, 1), read).status, sim::StatusGood);
    EXPECT_EQ(read, last);
    EXPECT_EQ(RunIn(*huge, Cdb10(Read10, 0, 1), read).status, sim::StatusGood);
    EXPECT_EQ(read, std::vector<uint8_t>(512, 0)) << "a wrapped write would land at LBA 0";
}

TEST(DiskShortBuffer, ReadMovesOnlyWhatTheBufferHoldsOrTheBlocksGive) {
    std::unique_ptr<sim::UnitBackend> disk = MustCreate(DiskUnit());
    ASSERT_TRUE(disk);
    std::vector<uint8_t> written = Pattern(4 * 512, 9);
    ASSERT_EQ(RunOut(*disk, Cdb10(Write10, 0, 4), written).status, sim::StatusGood);
    std::vector<uint8_t> read(700, 0xEE);
    sim::ScsiOutcome outcome = RunIn(*disk, Cdb10(Read10, 0, 4), read);
    EXPECT_EQ(outcome.status, sim::StatusGood);
    EXPECT_EQ(outcome.bytesMoved, 700u);
    EXPECT_EQ(read, Slice(written, 0, 700));
    std::vector<uint8_t> large(8 * 512, 0xEE);
    EXPECT_EQ(RunIn(*disk, Cdb10(Read10, 0, 1), large).bytesMoved, 512u);
    EXPECT_EQ(large[512], 0xEE);
}

TEST(DiskShortBuffer, WriteStoresCompleteBlocksAndReportsTheShortfall) {
    std::unique_ptr<sim::UnitBackend> disk = MustCreate(DiskUnit());
    ASSERT_TRUE(disk);
    std::vector<uint8_t> written = Pattern(2 * 512 + 100, 5);
    sim::ScsiOutcome outcome = RunOut(*disk, Cdb10(Write10, 10, 4), written);
    ExpectCheckCondition(outcome, 0x0B, 0x4B, 0);
    EXPECT_EQ(outcome.bytesMoved, 2u * 512);
    std::vector<uint8_t> read(4 * 512, 0xEE);
    ASSERT_EQ(RunIn(*disk, Cdb10(Read10, 10, 4), read).status, sim::StatusGood);
    std::vector<uint8_t> expected = Slice(written, 0, 1024);
    expected.resize(4 * 512, 0);
    EXPECT_EQ(read, expected);

    sim::ScsiOutcome none = RunNone(*disk, Cdb10(Write10, 10, 1));
    ExpectCheckCondition(none, 0x0B, 0x4B, 0);
    EXPECT_EQ(none.bytesMoved, 0u);
    std::vector<uint8_t> empty;
    EXPECT_EQ(RunOut(*disk, Cdb10(Write10, 10, 0), empty).status, sim::StatusGood);
}

TEST(DiskModeSense, HeaderBlockDescriptorAndCachingPage) {
    std::unique_ptr<sim::UnitBackend> disk = MustCreate(DiskUnit(0x1000000 + 5, 512));
    ASSERT_TRUE(disk);
    std::vector<uint8_t> data(255, 0xEE);
    sim::ScsiOutcome outcome = RunIn(*disk, Cdb({0x1A, 0, 0x3F, 0, 255, 0}), data);
    EXPECT_EQ(outcome.status, sim::StatusGood);
    ASSERT_EQ(outcome.bytesMoved, 56u);
    // Length 55, DPOFUA, not write-protected, a short LBA descriptor with
    // the whole block count and block size 512, then the error recovery
    // page (saveable) first of the three.
    EXPECT_EQ(Slice(data, 0, 14), (std::vector<uint8_t>{55, 0, 0x10, 8, 0x01, 0, 0, 5, 0, 0,
                                                        0x02, 0x00, 0x81, 0x0A}));
    outcome = RunIn(*disk, Cdb({0x1A, 0x08, 0x08, 0, 255, 0}), data);  // DBD
    EXPECT_EQ(outcome.bytesMoved, 24u);
    EXPECT_EQ(data[0], 23);
    EXPECT_EQ(data[3], 0);
    outcome = RunIn(*disk, Cdb({0x1A, 0, 0x08, 0, 6, 0}), data);
    EXPECT_EQ(outcome.bytesMoved, 6u);
    EXPECT_EQ(data[0], 31);
    ExpectCheckCondition(RunIn(*disk, Cdb({0x1A, 0, 0x1C, 0, 255, 0}), data), 5, 0x24, 0);
    ExpectCheckCondition(RunIn(*disk, Cdb({0x1A, 0, 0x00, 0, 255, 0}), data), 5, 0x24, 0);
    EXPECT_EQ(RunIn(*disk, Cdb({0x1A, 0, 0xC8, 0, 255, 0}), data).status, sim::StatusGood) << "saved values";
}

TEST(DiskOtherCommands, StartStopVerifyAndSynchronizeCache) {
    std::unique_ptr<sim::UnitBackend> disk = MustCreate(DiskUnit(100));
    ASSERT_TRUE(disk);
    EXPECT_EQ(RunNone(*disk, Cdb({0x1B, 0, 0, 0, 1, 0})).status, sim::StatusGood);
    EXPECT_EQ(RunNone(*disk, Cdb10(0x2F, 90, 10)).status, sim::StatusGood);
    ExpectCheckCondition(RunNone(*disk, Cdb10(0x2F, 90, 11)), 5, 0x21, 0);
    EXPECT_EQ(RunNone(*disk, Cdb10(0x35, 0, 0)).status, sim::StatusGood);
    ExpectCheckCondition(RunNone(*disk, Cdb10(0x35, 100, 0)), 5, 0x21, 0);

    std::vector<uint8_t> written = Pattern(1024, 1);
    ASSERT_EQ(RunOut(*disk, Cdb10(Write10, 5, 2), written).status, sim::StatusGood);
    sim::ScsiCommand verify = Cdb10(0x2F, 5, 2);
    verify.cdb[1] = 0x02;  // compare the data sent
    EXPECT_EQ(RunOut(*disk, verify, written).status, sim::StatusGood);
    written[700] ^= 1;
    ExpectCheckCondition(RunOut(*disk, verify, written), 0x0E, 0x1D, 0);
}

// Returns the bytes of the file at `path`.
std::vector<uint8_t> ReadFile(const std::string& path) {
    std::vector<uint8_t> bytes;
    FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) return bytes;
    for (int c; (c = std::fgetc(file)) != EOF;) bytes.push_back(static_cast<uint8_t>(c));
    std::fclose(file);
    return bytes;
}

TEST(DiskImage, ReadsAndWritesTheFileInPlace) {
    const std::vector<uint8_t> image = Pattern(8 * 512, 21);
    const std::string path = TempFile(image);
    std::unique_ptr<sim::UnitBackend> disk = MustCreate(DiskUnit(16, 512, path));
    ASSERT_TRUE(disk);
    std::vector<uint8_t> read(2 * 512, 0);
    ASSERT_EQ(RunIn(*disk, Cdb10(Read10, 3, 2), read).status, sim::StatusGood);
    EXPECT_EQ(read, Slice(image, 3 * 512, 5 * 512));

    std::vector<uint8_t> written = Pattern(512, 99);
    ASSERT_EQ(RunOut(*disk, Cdb10(Write10, 1, 1), written).status, sim::StatusGood);
    std::vector<uint8_t> expected = image;
    std::copy(written.begin(), written.end(), expected.begin() + 512);
    EXPECT_EQ(ReadFile(path), expected);
    unlink(path.c_str());
}

TEST(DiskImage, BlocksPastTheFileEndReadZeroAndWritesExtendIt) {
    const std::string path = TempFile(Pattern(2 * 512, 4));
    std::unique_ptr<sim::UnitBackend> disk = MustCreate(DiskUnit(16, 512, path));
    ASSERT_TRUE(disk);
    std::vector<uint8_t> read(2 * 512, 0xEE);
    ASSERT_EQ(RunIn(*disk, Cdb10(Read10, 1, 2), read).status, sim::StatusGood);
    EXPECT_EQ(Slice(read, 512, 1024), std::vector<uint8_t>(512, 0));

    std::vector<uint8_t> written = Pattern(512, 8);
    ASSERT_EQ(RunOut(*disk, Cdb10(Write10, 15, 1), written).status, sim::StatusGood);
    std::vector<uint8_t> onDisk = ReadFile(path);
    ASSERT_EQ(onDisk.size(), 16u * 512);
    EXPECT_EQ(Slice(onDisk, 15 * 512, 16 * 512), written);
    unlink(path.c_str());
}

}  // namespace
