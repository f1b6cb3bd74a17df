// The emulated tape's commands, by family, each with its status and sense:
// reads in fixed blocks and of records of another length, spacing back to
// the beginning, the early warning and the end of the cartridge, and image
// files that are not tapes.
#include "units_test_support.h"

namespace {

using namespace units_test;

sim::UnitConfig TapeUnit(uint64_t capacity = 1 << 20, uint32_t blockSize = 0,
                         const std::string& image = std::string()) {
    sim::UnitConfig config = UnitOf(sim::BackendType::Tape, 0x01);
    config.inquiry.removable = true;
    config.backend.capacityBytes = capacity;
    config.backend.blockSize = blockSize;
    config.backend.image = image;
    return config;
}

sim::ScsiCommand Six(uint8_t opcode, uint8_t byte1, uint32_t length) {
    return Cdb({opcode, byte1, uint8_t(length >> 16), uint8_t(length >> 8), uint8_t(length), 0});
}

// Checks sequential-access sense: VALID set with the information field,
// byte 2 (the FILEMARK, EOM and ILI bits with the key), ASC and ASCQ.
void ExpectTapeSense(const std::vector<uint8_t>& sense, uint8_t byte2, uint8_t asc, uint8_t ascq) {
    ASSERT_EQ(sense.size(), 18u);
    EXPECT_EQ(sense[0], 0xF0);
    EXPECT_EQ(sense[2], byte2);
    EXPECT_EQ(sense[12] << 8 | sense[13], asc << 8 | ascq);
}

uint32_t Information(const std::vector<uint8_t>& sense) {
    return uint32_t(sense[3]) << 24 | sense[4] << 16 | sense[5] << 8 | sense[6];
}

TEST(TapeUnit, FixedBlockReadsStopAtRecordsOfAnotherLengthWithTheBlocksNotRead) {
    auto tape = MustCreate(TapeUnit(1 << 20, 512));
    std::vector<uint8_t> two = Pattern(1024, 3), odd = Pattern(100, 4);
    ASSERT_EQ(RunOut(*tape, Six(0x0A, 1, 2), two).status, 0);
    ASSERT_EQ(RunOut(*tape, Six(0x0A, 0, 100), odd).status, 0) << "a variable record in fixed mode";
    RunNone(*tape, Six(0x01, 0, 0));
    std::vector<uint8_t> buffer(2048);
    const sim::ScsiOutcome read = RunIn(*tape, Six(0x08, 1, 4), buffer);
    ExpectTapeSense(read.sense, 0x20, 0, 0);  // ILI, NO SENSE
    EXPECT_EQ(Information(read.sense), 2u) << "four asked, two read before the short one";
    EXPECT_EQ(Slice(buffer, 0, 1024), two);
    EXPECT_EQ(read.bytesMoved, 1024u + 100u);
    // Variable mode, a record longer than asked: the overlength residue is
    // negative.
    RunNone(*tape, Six(0x01, 0, 0));
    const sim::ScsiOutcome over = RunIn(*tape, Six(0x08, 0, 10), buffer);
    EXPECT_EQ(Information(over.sense), uint32_t(10 - 512));
    EXPECT_EQ(over.bytesMoved, 10u);
    // FIXED with SILI, and FIXED without a block length, are refused.
    ExpectFixedSense(RunIn(*tape, Six(0x08, 3, 1), buffer).sense, 5, 0x24, 0);
    ExpectFixedSense(RunIn(*MustCreate(TapeUnit()), Six(0x08, 1, 1), buffer).sense, 5, 0x24, 0);
}

TEST(TapeUnit, SpacingBackStopsAtFilemarksAndAtTheBeginning) {
    auto tape = MustCreate(TapeUnit());
    std::vector<uint8_t> record = Pattern(64, 1);
    RunOut(*tape, Six(0x0A, 0, 64), record);
    RunNone(*tape, Six(0x10, 0, 1));
    RunOut(*tape, Six(0x0A, 0, 64), record);
    RunOut(*tape, Six(0x0A, 0, 64), record);
    // Back over two records, then into the filemark: stopped before it.
    const sim::ScsiOutcome blocks = RunNone(*tape, Six(0x11, 0, 0xFFFFFD));
    ExpectTapeSense(blocks.sense, 0x80, 0, 1);
    EXPECT_EQ(Information(blocks.sense), 1u);
    // Back over filemarks past the first: the beginning, with EOM.
    const sim::ScsiOutcome marks = RunNone(*tape, Six(0x11, 1, 0xFFFFFE));
    ExpectTapeSense(marks.sense, 0x40, 0, 4);
    EXPECT_EQ(Information(marks.sense), 1u);
    std::vector<uint8_t> position(20);
    RunIn(*tape, Cdb({0x34, 0, 0, 0, 0, 0, 0, 0, 0, 0}), position);
    EXPECT_EQ(position[0], 0x80) << "BOP";
}

TEST(TapeUnit, WritesReportTheEarlyWarningThenOverflowTheCartridge) {
    auto tape = MustCreate(TapeUnit(100 * 1024));
    std::vector<uint8_t> record = Pattern(30 * 1024, 2);
    EXPECT_EQ(RunOut(*tape, Six(0x0A, 0, 30 * 1024), record).status, 0);
    const sim::ScsiOutcome warning = RunOut(*tape, Six(0x0A, 0, 30 * 1024), record);
    ExpectTapeSense(warning.sense, 0x40, 0, 2);
    EXPECT_EQ(warning.bytesMoved, 30u * 1024);
    RunOut(*tape, Six(0x0A, 0, 30 * 1024), record);
    const sim::ScsiOutcome full = RunOut(*tape, Six(0x0A, 0, 30 * 1024), record);
    ExpectTapeSense(full.sense, 0x4D, 0, 2);  // VOLUME OVERFLOW with EOM
    EXPECT_EQ(Information(full.sense), 30u * 1024);
    std::vector<uint8_t> position(20);
    RunIn(*tape, Cdb({0x34, 0, 0, 0, 0, 0, 0, 0, 0, 0}), position);
    EXPECT_EQ(position[7], 3) << "the record that did not fit was not written";
}

TEST(TapeUnit, AnImageThatIsNotATapeIsRefused) {
    const struct {
        std::vector<uint8_t> bytes;
        const char* says;
    } images[] = {
        {{'N', 'O', 'T', 'A', 'T', 'A', 'P', 'E'}, "not a tape image"},
        {{'P', 'T', 'A', 'P', 'E', '0', '0', '1', 10, 0, 0, 0, 1, 2}, "bad record length"},
        {{'P', 'T', 'A', 'P', 'E', '0', '0', '1', 0xFF, 0xFF}, "cut short"},
    };
    for (const auto& image : images) {
        const std::string path = TempFile(image.bytes);
        std::string error;
        EXPECT_FALSE(sim::CreateBackend(TapeUnit(1 << 20, 0, path), error));
        EXPECT_NE(error.find(image.says), std::string::npos) << error;
        unlink(path.c_str());
    }
}

TEST(TapeUnit, UnloadedOrEmptyTheDriveIsNotReady) {
    auto tape = MustCreate(TapeUnit());
    RunNone(*tape, Cdb({0x1B, 0, 0, 0, 0, 0}));
    ExpectFixedSense(RunNone(*tape, Cdb({0x00, 0, 0, 0, 0, 0})).sense, 2, 0x04, 0x02);
    EXPECT_EQ(RunNone(*tape, Cdb({0x1B, 0, 0, 0, 1, 0})).status, 0);
    EXPECT_EQ(RunNone(*tape, Cdb({0x00, 0, 0, 0, 0, 0})).status, 0);
    sim::UnitConfig empty = TapeUnit();
    empty.backend.medium = false;
    ExpectFixedSense(RunNone(*MustCreate(empty), Six(0x01, 0, 0)).sense, 2, 0x3A, 0);
}

}  // namespace
