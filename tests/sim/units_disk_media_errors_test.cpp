// How the emulated disk reports a medium that fails: read and write errors
// of its storage, and a write-protected image.
#include "units_test_support.h"

#include "sim/units/device_types.h"
#include "sim/units/storage.h"

using namespace units_test;

namespace {

// Storage whose reads, writes or flushes fail on request.
class FailingStorage : public sim::units::BlockStorage {
public:
    struct Controls {
        bool failReads = false;
        bool failWrites = false;
        bool failFlush = false;
    };
    explicit FailingStorage(Controls& controls) : controls_(controls) {}
    bool Read(uint64_t offset, uint8_t* out, size_t length) override {
        return !controls_.failReads && memory_.Read(offset, out, length);
    }
    bool Write(uint64_t offset, const uint8_t* in, size_t length) override {
        return !controls_.failWrites && memory_.Write(offset, in, length);
    }
    bool Flush() override { return !controls_.failFlush; }

private:
    Controls& controls_;
    sim::units::MemoryStorage memory_;
};

TEST(DiskMediaErrors, FailedStorageGivesMediumErrorsKeptPending) {
    FailingStorage::Controls controls;
    std::unique_ptr<sim::UnitBackend> disk = sim::units::CreateDiskOnStorage(
        DiskUnit(64), std::make_unique<FailingStorage>(controls));
    ASSERT_TRUE(disk);
    std::vector<uint8_t> block = Pattern(512, 6);
    ASSERT_EQ(RunOut(*disk, Cdb10(Write10, 3, 1), block).status, sim::StatusGood);

    controls.failReads = true;
    std::vector<uint8_t> read(512, 0);
    sim::ScsiOutcome outcome = RunIn(*disk, Cdb10(Read10, 3, 1), read);
    ExpectCheckCondition(outcome, 3, 0x11, 0);
    EXPECT_EQ(outcome.bytesMoved, 0u);
    std::vector<uint8_t> sense(18, 0);
    RunIn(*disk, Cdb({0x03, 0, 0, 0, 18, 0}), sense);
    ExpectFixedSense(sense, 3, 0x11, 0);

    controls.failWrites = true;
    outcome = RunOut(*disk, Cdb10(Write10, 3, 1), block);
    ExpectCheckCondition(outcome, 3, 0x0C, 0);
    EXPECT_EQ(outcome.bytesMoved, 0u);

    controls.failFlush = true;
    ExpectCheckCondition(RunNone(*disk, Cdb10(0x35, 0, 0)), 3, 0x0C, 0);

    controls = FailingStorage::Controls();
    read.assign(512, 0);
    ASSERT_EQ(RunIn(*disk, Cdb10(Read10, 3, 1), read).status, sim::StatusGood);
    EXPECT_EQ(read, block) << "a failed write leaves the block as it was";
}

TEST(DiskMediaErrors, WriteProtectedImageReadsButRefusesWrites) {
    const std::vector<uint8_t> image = Pattern(4 * 512, 12);
    const std::string path = TempFile(image);
    std::string error;
    std::unique_ptr<sim::units::FileStorage> storage =
        sim::units::FileStorage::Open(path, true, error);
    ASSERT_TRUE(storage) << error;
    EXPECT_TRUE(storage->ReadOnly());
    std::unique_ptr<sim::UnitBackend> disk =
        sim::units::CreateDiskOnStorage(DiskUnit(4), std::move(storage));
    ASSERT_TRUE(disk);

    std::vector<uint8_t> read(4 * 512, 0);
    ASSERT_EQ(RunIn(*disk, Cdb10(Read10, 0, 4), read).status, sim::StatusGood);
    EXPECT_EQ(read, image);
    std::vector<uint8_t> written(512, 0xAB);
    sim::ScsiOutcome outcome = RunOut(*disk, Cdb10(Write10, 0, 1), written);
    ExpectCheckCondition(outcome, 3, 0x0C, 0);
    EXPECT_EQ(outcome.bytesMoved, 0u);
    ExpectCheckCondition(RunOut(*disk, Cdb({0x0A, 0, 0, 2, 1, 0}), written), 3, 0x0C, 0);

    std::vector<uint8_t> mode(12, 0);
    ASSERT_EQ(RunIn(*disk, Cdb({0x1A, 0, 0x3F, 0, 12, 0}), mode).status, sim::StatusGood);
    EXPECT_EQ(mode[2] & 0x80, 0x80) << "write-protect bit";
    ASSERT_EQ(RunIn(*disk, Cdb10(Read10, 0, 4), read).status, sim::StatusGood);
    EXPECT_EQ(read, image) << "refused writes change nothing";
    unlink(path.c_str());
}

}  // namespace
