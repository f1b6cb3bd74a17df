// The emulated disk: capacity, reads and writes in memory and in an image
// file, block range checks at the edge of the medium, short buffers, MODE
// SENSE, VERIFY and SYNCHRONIZE CACHE.
#include "units_test_support.h"

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace units_test;

namespace {

constexpr uint8_t Read10 = 0x28;
constexpr uint8_t Write10 = 0x2A;

sim::ScsiCommand Cdb6(uint8_t opcode, uint32_t lba, uint8_t count) {
    return Cdb({opcode, static_cast<uint8_t>((lba >> 16) & 0x1F), static_cast<uint8_t>(lba >> 8),
                static_cast<uint8_t>(lba), count, 0});
}

TEST(DiskCapacity, ReadCapacityGivesLastLbaAndBlockSize) {
    std::unique_ptr<sim::UnitBackend> disk = MustCreate(DiskUnit(0x12345, 4096));
    ASSERT_TRUE(disk);
    std::vector<uint8_t> data(8, 0xEE);
    sim::ScsiOutcome outcome = RunIn(*disk, Cdb10(0x25, 0, 0), data);
    EXPECT_EQ(outcome.status, sim::StatusGood);
    EXPECT_EQ(outcome.bytesMoved, 8u);
    EXPECT_EQ(data, (std::vector<uint8_t>{0x00, 0x01, 0x23, 0x44, 0x00, 0x00, 0x10, 0x00}));

    std::vector<uint8_t> small(3, 0xEE);
    outcome = RunIn(*disk, Cdb10(0x25, 0, 0), small);
    EXPECT_EQ(outcome.bytesMoved, 3u);
    EXPECT_EQ(small, (std::vector<uint8_t>{0x00, 0x01, 0x23}));
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
    EXPECT_EQ(std::vector<uint8_t>(read.begin(), read.begin() + 512), std::vector<uint8_t>(512, 0));
    EXPECT_EQ(std::vector<uint8_t>(read.begin() + 512, read.begin() + 4 * 512), written);
    EXPECT_EQ(std::vector<uint8_t>(read.begin() + 4 * 512, read.end()), std::vector<uint8_t>(512, 0));
}

TEST(DiskReadWrite, SixByteCommandsUseTwentyOneBitLbaAndZeroMeans256) {
    std::unique_ptr<sim::UnitBackend> disk = MustCreate(DiskUnit(0x200000 + 300));
    ASSERT_TRUE(disk);
    std::vector<uint8_t> written = Pattern(256 * 512, 3);
    sim::ScsiOutcome outcome = RunOut(*disk, Cdb6(0x0A, 0x1FFF00, 0), written);
    EXPECT_EQ(outcome.status, sim::StatusGood);
    EXPECT_EQ(outcome.bytesMoved, 256u * 512);

    std::vector<uint8_t> read(256 * 512, 0);
    outcome = RunIn(*disk, Cdb10(Read10, 0x1FFF00, 256), read);
    EXPECT_EQ(outcome.status, sim::StatusGood);
    EXPECT_EQ(read, written);

    std::vector<uint8_t> again(256 * 512, 0);
    outcome = RunIn(*disk, Cdb6(0x08, 0x1FFF00, 0), again);
    EXPECT_EQ(outcome.status, sim::StatusGood);
    EXPECT_EQ(outcome.bytesMoved, 256u * 512);
    EXPECT_EQ(again, written);

    std::vector<uint8_t> one(512, 0);
    outcome = RunIn(*disk, Cdb6(0x08, 0x1FFF01, 1), one);
    EXPECT_EQ(outcome.bytesMoved, 512u);
    EXPECT_EQ(one, std::vector<uint8_t>(written.begin() + 512, written.begin() + 1024));
}

TEST(DiskRange, LastBlockIsInRangeAndTheNextIsNot) {
    std::unique_ptr<sim::UnitBackend> disk = MustCreate(DiskUnit(2048));
    ASSERT_TRUE(disk);
    std::vector<uint8_t> block(512, 0x5A);
    EXPECT_EQ(RunOut(*disk, Cdb10(Write10, 2047, 1), block).status, sim::StatusGood);
    EXPECT_EQ(RunIn(*disk, Cdb10(Read10, 2047, 1), block).status, sim::StatusGood);

    ExpectCheckCondition(RunIn(*disk, Cdb10(Read10, 2048, 1), block), 5, 0x21, 0);
    ExpectCheckCondition(RunOut(*disk, Cdb10(Write10, 2048, 1), block), 5, 0x21, 0);
    std::vector<uint8_t> two(1024, 0);
    sim::ScsiOutcome outcome = RunIn(*disk, Cdb10(Read10, 2047, 2), two);
    ExpectCheckCondition(outcome, 5, 0x21, 0);
    EXPECT_EQ(outcome.bytesMoved, 0u);
    ExpectCheckCondition(RunIn(*disk, Cdb6(0x08, 2047, 2), two), 5, 0x21, 0);
    ExpectCheckCondition(RunIn(*disk, Cdb6(0x08, 1793, 0), two), 5, 0x21, 0);
    EXPECT_EQ(RunIn(*disk, Cdb6(0x08, 1792, 0), two).status, sim::StatusGood);
}

TEST(DiskRange, LbaNearTwoToThe32DoesNotWrapPastTheEnd) {
    // The largest disk a 32-bit LBA addresses; memory is allocated only
    // where written.
    std::unique_ptr<sim::UnitBackend> disk = MustCreate(DiskUnit(0xFFFFFFFFu));
    ASSERT_TRUE(disk);
    std::vector<uint8_t> buffer(0x20 * 512, 0);
    ExpectCheckCondition(RunIn(*disk, Cdb10(Read10, 0xFFFFFFF0u, 0x20), buffer), 5, 0x21, 0);
    ExpectCheckCondition(RunOut(*disk, Cdb10(Write10, 0xFFFFFFF0u, 0x20), buffer), 5, 0x21, 0);
    ExpectCheckCondition(RunIn(*disk, Cdb10(Read10, 0xFFFFFFFFu, 1), buffer), 5, 0x21, 0);

    std::vector<uint8_t> last = Pattern(512, 77);
    EXPECT_EQ(RunOut(*disk, Cdb10(Write10, 0xFFFFFFFEu, 1), last).status, sim::StatusGood);
    std::vector<uint8_t> read(512, 0);
    EXPECT_EQ(RunIn(*disk, Cdb10(Read10, 0xFFFFFFFEu, 1), read).status, sim::StatusGood);
    EXPECT_EQ(read, last);
    std::vector<uint8_t> first(512, 0xEE);
    EXPECT_EQ(RunIn(*disk, Cdb10(Read10, 0, 1), first).status, sim::StatusGood);
    EXPECT_EQ(first, std::vector<uint8_t>(512, 0)) << "a wrapped write would land at LBA 0";
}

TEST(DiskShortBuffer, ReadMovesOnlyWhatTheBufferHolds) {
    std::unique_ptr<sim::UnitBackend> disk = MustCreate(DiskUnit());
    ASSERT_TRUE(disk);
    std::vector<uint8_t> written = Pattern(4 * 512, 9);
    ASSERT_EQ(RunOut(*disk, Cdb10(Write10, 0, 4), written).status, sim::StatusGood);

    std::vector<uint8_t> read(700, 0xEE);
    sim::ScsiOutcome outcome = RunIn(*disk, Cdb10(Read10, 0, 4), read);
    EXPECT_EQ(outcome.status, sim::StatusGood);
    EXPECT_EQ(outcome.bytesMoved, 700u);
    EXPECT_EQ(read, std::vector<uint8_t>(written.begin(), written.begin() + 700));

    std::vector<uint8_t> large(8 * 512, 0xEE);
    outcome = RunIn(*disk, Cdb10(Read10, 0, 1), large);
    EXPECT_EQ(outcome.bytesMoved, 512u);
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
    EXPECT_EQ(std::vector<uint8_t>(read.begin(), read.begin() + 1024),
              std::vector<uint8_t>(written.begin(), written.begin() + 1024));
    EXPECT_EQ(std::vector<uint8_t>(read.begin() + 1024, read.end()),
              std::vector<uint8_t>(2 * 512, 0));

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
    ASSERT_EQ(outcome.bytesMoved, 32u);
    EXPECT_EQ(data[0], 31);
    EXPECT_EQ(data[2], 0x00) << "not write-protected";
    EXPECT_EQ(data[3], 8);
    EXPECT_EQ(data[5], 0xFF) << "block count saturates at 24 bits";
    EXPECT_EQ(data[7], 0xFF);
    EXPECT_EQ(data[10], 0x02);
    EXPECT_EQ(data[11], 0x00);
    EXPECT_EQ(data[12], 0x08);
    EXPECT_EQ(data[13], 0x12);

    outcome = RunIn(*disk, Cdb({0x1A, 0x08, 0x00, 0, 255, 0}), data);
    EXPECT_EQ(outcome.bytesMoved, 4u);
    EXPECT_EQ(data[0], 3);
    EXPECT_EQ(data[3], 0);

    outcome = RunIn(*disk, Cdb({0x1A, 0, 0x08, 0, 6, 0}), data);
    EXPECT_EQ(outcome.bytesMoved, 6u);
    EXPECT_EQ(data[0], 31);

    ExpectCheckCondition(RunIn(*disk, Cdb({0x1A, 0, 0x1C, 0, 255, 0}), data), 5, 0x24, 0);
    ExpectCheckCondition(RunIn(*disk, Cdb({0x1A, 0, 0xC8, 0, 255, 0}), data), 5, 0x39, 0);
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
    verify.cdb[1] = 0x02;
    EXPECT_EQ(RunOut(*disk, verify, written).status, sim::StatusGood);
    written[700] ^= 1;
    ExpectCheckCondition(RunOut(*disk, verify, written), 0x0E, 0x1D, 0);
}

// An image file in a fresh temporary directory, removed afterwards.
class DiskImage : public testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/units_disk_XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        directory_ = pattern;
        path_ = directory_ + "/disk.img";
    }
    void TearDown() override {
        chmod(path_.c_str(), 0600);
        unlink(path_.c_str());
        rmdir(directory_.c_str());
    }
    void WriteFile(const std::vector<uint8_t>& bytes) {
        FILE* file = std::fopen(path_.c_str(), "wb");
        ASSERT_NE(file, nullptr);
        ASSERT_EQ(std::fwrite(bytes.data(), 1, bytes.size(), file), bytes.size());
        std::fclose(file);
    }
    std::vector<uint8_t> ReadFile() {
        std::vector<uint8_t> bytes;
        FILE* file = std::fopen(path_.c_str(), "rb");
        if (file == nullptr) return bytes;
        int c;
        while ((c = std::fgetc(file)) != EOF) bytes.push_back(static_cast<uint8_t>(c));
        std::fclose(file);
        return bytes;
    }
    std::string directory_;
    std::string path_;
};

TEST_F(DiskImage, ReadsAndWritesTheFileInPlace) {
    std::vector<uint8_t> image = Pattern(8 * 512, 21);
    WriteFile(image);
    std::unique_ptr<sim::UnitBackend> disk = MustCreate(DiskUnit(16, 512, path_));
    ASSERT_TRUE(disk);

    std::vector<uint8_t> read(2 * 512, 0);
    ASSERT_EQ(RunIn(*disk, Cdb10(Read10, 3, 2), read).status, sim::StatusGood);
    EXPECT_EQ(read, std::vector<uint8_t>(image.begin() + 3 * 512, image.begin() + 5 * 512));

    std::vector<uint8_t> written = Pattern(512, 99);
    ASSERT_EQ(RunOut(*disk, Cdb10(Write10, 1, 1), written).status, sim::StatusGood);
    std::vector<uint8_t> onDisk = ReadFile();
    ASSERT_EQ(onDisk.size(), image.size());
    EXPECT_EQ(std::vector<uint8_t>(onDisk.begin() + 512, onDisk.begin() + 1024), written);
    EXPECT_EQ(std::vector<uint8_t>(onDisk.begin(), onDisk.begin() + 512),
              std::vector<uint8_t>(image.begin(), image.begin() + 512));
}

TEST_F(DiskImage, BlocksPastTheFileEndReadZeroAndWritesExtendIt) {
    WriteFile(Pattern(2 * 512, 4));
    std::unique_ptr<sim::UnitBackend> disk = MustCreate(DiskUnit(16, 512, path_));
    ASSERT_TRUE(disk);
    std::vector<uint8_t> read(2 * 512, 0xEE);
    ASSERT_EQ(RunIn(*disk, Cdb10(Read10, 1, 2), read).status, sim::StatusGood);
    EXPECT_EQ(std::vector<uint8_t>(read.begin() + 512, read.end()), std::vector<uint8_t>(512, 0));

    std::vector<uint8_t> written = Pattern(512, 8);
    ASSERT_EQ(RunOut(*disk, Cdb10(Write10, 15, 1), written).status, sim::StatusGood);
    std::vector<uint8_t> onDisk = ReadFile();
    ASSERT_EQ(onDisk.size(), 16u * 512);
    EXPECT_EQ(std::vector<uint8_t>(onDisk.begin() + 15 * 512, onDisk.end()), written);
}

TEST_F(DiskImage, MissingFileFailsCreation) {
    std::string error;
    EXPECT_FALSE(sim::CreateBackend(DiskUnit(16, 512, path_), error));
    EXPECT_NE(error.find(path_), std::string::npos) << error;
}

}  // namespace
