// Creating backends from unit descriptions: each type, and the
// descriptions that are refused.
#include "units_test_support.h"

using namespace units_test;

namespace {

TEST(BackendCreation, RefusesDescriptionsNoUnitCouldHave) {
    struct Case {
        const char* name;
        sim::UnitConfig config;
        const char* mentions;
    };
    const Case cases[] = {
        {"disk without blocks", DiskUnit(0, 512), "blocks"},
        {"disk block size 0", DiskUnit(16, 0), "block_size"},
        {"disk block size 520", DiskUnit(16, 520), "block_size"},
        {"disk block size 128 KiB", DiskUnit(16, 131072), "block_size"},
        {"disk file missing", DiskUnit(16, 512, "/nonexistent/units/disk.img"), "disk.img"},
        {"disk file a directory", DiskUnit(16, 512, "/tmp"), "/tmp"},
        {"cdrom without blocks", CdRomUnit(0), "blocks"},
        {"cdrom image missing", CdRomUnit(16, "/nonexistent/units/disc.iso"), "disc.iso"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string error;
        EXPECT_FALSE(sim::CreateBackend(c.config, error));
        EXPECT_NE(error.find(c.mentions), std::string::npos) << error;
    }
}

TEST(BackendCreation, AcceptsEveryTypeWithDefaults) {
    using T = sim::BackendType;
    for (T type : {T::Disk, T::CdRom, T::Tape, T::Scanner, T::Processor, T::Scripted}) {
        sim::UnitConfig config = UnitOf(type, 0);
        config.backend.blocks = 8;
        config.backend.blockSize = type == sim::BackendType::CdRom ? 2048 : 4096;
        EXPECT_TRUE(MustCreate(config));
    }
}

}  // namespace
