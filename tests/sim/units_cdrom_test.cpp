// The emulated CD-ROM drive: capacity and reads of an ISO image or blank
// disc, READ TOC in both address forms, the read-only medium and the drive
// without a disc.
#include "units_test_support.h"

using namespace units_test;

namespace {

sim::ScsiCommand ReadToc(bool msf, uint8_t format, uint8_t track, uint16_t allocation) {
    return Cdb({0x43, static_cast<uint8_t>(msf ? 0x02 : 0x00), format, 0, 0, 0, track,
                static_cast<uint8_t>(allocation >> 8), static_cast<uint8_t>(allocation), 0});
}

TEST(CdRomToc, FormatZeroListsTrackOneAndLeadOutByLbaOrMsf) {
    std::unique_ptr<sim::UnitBackend> cd = MustCreate(CdRomUnit(0x12345));
    ASSERT_TRUE(cd);
    std::vector<uint8_t> toc(64, 0xEE);
    sim::ScsiOutcome outcome = RunIn(*cd, ReadToc(false, 0, 0, 64), toc);
    EXPECT_EQ(outcome.status, sim::StatusGood);
    ASSERT_EQ(outcome.bytesMoved, 20u);
    EXPECT_EQ(Slice(toc, 0, 21), (std::vector<uint8_t>{
                                     0x00, 0x12, 0x01, 0x01,  // length 18, tracks 1..1
                                     0x00, 0x14, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00,  // track 1
                                     0x00, 0x14, 0xAA, 0x00, 0x00, 0x01, 0x23, 0x45,  // lead-out
                                     0xEE}));
    // MSF counts the pre-gap: 4500 blocks + 150 frames = 1 min 2 s 0 frames.
    std::unique_ptr<sim::UnitBackend> msf = MustCreate(CdRomUnit(4500 + 74));
    ASSERT_TRUE(msf);
    outcome = RunIn(*msf, ReadToc(true, 0, 1, 20), toc);
    EXPECT_EQ(outcome.status, sim::StatusGood);
    ASSERT_EQ(outcome.bytesMoved, 20u);
    EXPECT_EQ(Slice(toc, 8, 12), (std::vector<uint8_t>{0, 0, 2, 0}));
    EXPECT_EQ(Slice(toc, 16, 20), (std::vector<uint8_t>{0, 1, 2, 74}));
}

TEST(CdRomToc, StartingTrackAllocationAndFormats) {
    std::unique_ptr<sim::UnitBackend> cd = MustCreate(CdRomUnit(1000));
    ASSERT_TRUE(cd);
    std::vector<uint8_t> toc(64, 0xEE);
    sim::ScsiOutcome outcome = RunIn(*cd, ReadToc(false, 0, 0xAA, 64), toc);
    EXPECT_EQ(outcome.status, sim::StatusGood);
    ASSERT_EQ(outcome.bytesMoved, 12u);
    EXPECT_EQ(toc[1], 10);
    EXPECT_EQ(toc[6], 0xAA);

    ExpectCheckCondition(RunIn(*cd, ReadToc(false, 0, 2, 64), toc), 5, 0x24, 0);
    ExpectCheckCondition(RunIn(*cd, ReadToc(false, 5, 0, 64), toc), 5, 0x24, 0);

    std::fill(toc.begin(), toc.end(), 0xEE);
    outcome = RunIn(*cd, ReadToc(false, 0, 0, 4), toc);
    EXPECT_EQ(outcome.bytesMoved, 4u);
    EXPECT_EQ(toc[1], 0x12) << "the length field tells the whole TOC";
    EXPECT_EQ(toc[4], 0xEE);

    outcome = RunIn(*cd, ReadToc(false, 1, 0, 64), toc);
    EXPECT_EQ(outcome.status, sim::StatusGood);
    ASSERT_EQ(outcome.bytesMoved, 12u);
    EXPECT_EQ(toc[1], 10);
    EXPECT_EQ(toc[6], 1);
}

TEST(CdRomMedium, BlankDiscReadsZerosAndRefusesWrites) {
    std::unique_ptr<sim::UnitBackend> cd = MustCreate(CdRomUnit(1024));
    ASSERT_TRUE(cd);
    std::vector<uint8_t> capacity(8, 0);
    ASSERT_EQ(RunIn(*cd, Cdb10(0x25, 0, 0), capacity).status, sim::StatusGood);
    EXPECT_EQ(capacity, (std::vector<uint8_t>{0, 0, 0x03, 0xFF, 0, 0, 0x08, 0}));
    std::vector<uint8_t> data(2048, 0xEE);
    ASSERT_EQ(RunIn(*cd, Cdb10(Read10, 1023, 1), data).status, sim::StatusGood);
    EXPECT_EQ(data, std::vector<uint8_t>(2048, 0));
    ExpectCheckCondition(RunIn(*cd, Cdb10(Read10, 1024, 1), data), 5, 0x21, 0);
    // Writes are unsupported commands on this medium.
    sim::ScsiOutcome outcome = RunOut(*cd, Cdb10(Write10, 0, 1), data);
    ExpectCheckCondition(outcome, 5, 0x20, 0);
    EXPECT_EQ(outcome.bytesMoved, 0u);
    ExpectCheckCondition(RunOut(*cd, Cdb6(0x0A, 0, 1), data), 5, 0x20, 0);
}

TEST(CdRomMedium, WithoutDiscEveryMediumCommandIsNotReady) {
    std::unique_ptr<sim::UnitBackend> cd = MustCreate(CdRomUnit(1024, std::string(), false));
    ASSERT_TRUE(cd);
    std::vector<uint8_t> data(2048, 0xEE);
    ExpectCheckCondition(RunNone(*cd, Cdb({0x00, 0, 0, 0, 0, 0})), 2, 0x3A, 0);
    ExpectCheckCondition(RunIn(*cd, Cdb10(0x25, 0, 0), data), 2, 0x3A, 0);
    sim::ScsiOutcome outcome = RunIn(*cd, Cdb10(Read10, 0, 1), data);
    ExpectCheckCondition(outcome, 2, 0x3A, 0);
    EXPECT_EQ(outcome.bytesMoved, 0u);
    ExpectCheckCondition(RunIn(*cd, ReadToc(false, 0, 0, 64), data), 2, 0x3A, 0);

    // The drive itself still answers.
    EXPECT_EQ(RunIn(*cd, Cdb({0x12, 0, 0, 0, 36, 0}), data).status, sim::StatusGood);
    EXPECT_EQ(data[0], 0x05);
    EXPECT_EQ(RunNone(*cd, Cdb({0x1B, 0, 0, 0, 2, 0})).status, sim::StatusGood);
    EXPECT_EQ(RunIn(*cd, Cdb({0x1A, 0, 0x3F, 0, 255, 0}), data).status, sim::StatusGood);
    std::vector<uint8_t> sense(18, 0);
    RunIn(*cd, Cdb({0x03, 0, 0, 0, 18, 0}), sense);
    // MODE SENSE answered after the last NOT READY, which it made stale.
    ExpectFixedSense(sense, 0, 0, 0);
}

// START STOP UNIT with LOEJ ejects and loads the disc, unless PREVENT ALLOW
// MEDIUM REMOVAL holds it; a drive without a disc loads nothing.
TEST(CdRomMedium, EjectAndLoadFollowLoejStartAndPrevention) {
    const sim::ScsiCommand tur = Cdb({0x00, 0, 0, 0, 0, 0});
    const struct Step {
        uint8_t opcode;
        uint8_t byte4;
        uint8_t key, asc, ascq;  // key 0: GOOD
        bool readyAfter;
    } steps[] = {
        {0x1B, 0x00, 0, 0, 0, true},       // stop: the disc stays
        {0x1B, 0x02, 0, 0, 0, false},      // eject
        {0x1B, 0x02, 0, 0, 0, false},      // eject again: still out
        {0x1B, 0x03, 0, 0, 0, true},       // load
        {0x1E, 0x01, 0, 0, 0, true},       // prevent removal
        {0x1B, 0x02, 5, 0x53, 0x02, true}, // eject refused
        {0x1E, 0x00, 0, 0, 0, true},       // allow removal
        {0x1B, 0x02, 0, 0, 0, false},      // eject
    };
    std::unique_ptr<sim::UnitBackend> cd = MustCreate(CdRomUnit(1024));
    ASSERT_TRUE(cd);
    for (size_t i = 0; i < sizeof steps / sizeof steps[0]; ++i) {
        const Step& step = steps[i];
        SCOPED_TRACE(i);
        sim::ScsiOutcome outcome = RunNone(*cd, Cdb({step.opcode, 0, 0, 0, step.byte4, 0}));
        if (step.key == 0) {
            EXPECT_EQ(outcome.status, sim::StatusGood);
        } else {
            ExpectCheckCondition(outcome, step.key, step.asc, step.ascq);
        }
        outcome = RunNone(*cd, tur);
        if (step.opcode == 0x1B && step.byte4 == 0x03) {
            // A disc that came in is announced once, by unit attention.
            ExpectCheckCondition(outcome, 6, 0x28, 0);
            outcome = RunNone(*cd, tur);
        }
        if (step.readyAfter) {
            EXPECT_EQ(outcome.status, sim::StatusGood);
        } else {
            ExpectCheckCondition(outcome, 2, 0x3A, 0);
        }
    }
    std::unique_ptr<sim::UnitBackend> empty = MustCreate(CdRomUnit(1024, std::string(), false));
    ASSERT_TRUE(empty);
    EXPECT_EQ(RunNone(*empty, Cdb({0x1B, 0, 0, 0, 0x03, 0})).status, sim::StatusGood);
    ExpectCheckCondition(RunNone(*empty, tur), 2, 0x3A, 0);
}

TEST(CdRomImage, BlocksComeFromTheFileWithTheLastPaddedWithZeros) {
    const std::vector<uint8_t> image = Pattern(2 * 2048 + 100, 17);
    const std::string path = TempFile(image);
    std::unique_ptr<sim::UnitBackend> cd = MustCreate(CdRomUnit(1024, path));
    ASSERT_TRUE(cd);
    std::vector<uint8_t> capacity(8, 0);
    ASSERT_EQ(RunIn(*cd, Cdb10(0x25, 0, 0), capacity).status, sim::StatusGood);
    EXPECT_EQ(capacity[3], 2) << "three blocks: last LBA 2";

    std::vector<uint8_t> data(3 * 2048, 0xEE);
    ASSERT_EQ(RunIn(*cd, Cdb10(Read10, 0, 3), data).status, sim::StatusGood);
    std::vector<uint8_t> expected = image;
    expected.resize(3 * 2048, 0);
    EXPECT_EQ(data, expected);
    ExpectCheckCondition(RunIn(*cd, Cdb10(Read10, 3, 1), data), 5, 0x21, 0);

    std::vector<uint8_t> toc(20, 0);
    ASSERT_EQ(RunIn(*cd, ReadToc(false, 0, 0, 20), toc).status, sim::StatusGood);
    EXPECT_EQ(toc[19], 3) << "lead-out at the image's block count";
    unlink(path.c_str());
}

TEST(CdRomImage, EmptyImageFailsCreation) {
    const std::string path = TempFile({});
    std::string error;
    EXPECT_FALSE(sim::CreateBackend(CdRomUnit(1024, path), error));
    EXPECT_NE(error.find("empty"), std::string::npos) << error;
    unlink(path.c_str());
}

}  // namespace
