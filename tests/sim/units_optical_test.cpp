// The CD/DVD reader's MMC commands, one test per family with its expected
// status and sense: an audio and data disc from a cue sheet, the drive's
// configuration, media changes with their events and unit attention.
#include "units_test_support.h"

#include <fstream>

using namespace units_test;

namespace {

uint32_t ReadBig(const std::vector<uint8_t>& bytes, size_t at, size_t count) {
    uint32_t value = 0;
    for (size_t i = 0; i < count; ++i) value = (value << 8) | bytes[at + i];
    return value;
}

// A disc of two audio tracks (3 and 2 sectors) and a mode 1 data track
// stored as whole 2352-byte sectors (2 sectors).
struct CueDisc {
    std::string raw;
    std::string cue;
    std::vector<uint8_t> bytes;
    CueDisc() {
        bytes = Pattern(7 * 2352, 11);
        raw = TempFile(bytes);
        cue = raw + ".cue";
        std::ofstream(cue) << "FILE \"" << raw.substr(raw.rfind('/') + 1) << "\" BINARY\n"
                           << "  TRACK 01 AUDIO\n    INDEX 01 00:00:00\n"
                           << "  TRACK 02 AUDIO\n    INDEX 01 00:00:03\n"
                           << "  TRACK 03 MODE1/2352\n    INDEX 01 00:00:05\n";
    }
    ~CueDisc() {
        unlink(raw.c_str());
        unlink(cue.c_str());
    }
    std::unique_ptr<sim::UnitBackend> Unit() const {
        sim::UnitConfig config = CdRomUnit(0);
        config.backend.cue = cue;
        return MustCreate(config);
    }
};

sim::ScsiCommand ReadCd(uint8_t expected, uint32_t lba, uint32_t count, uint8_t fields) {
    return Cdb({0xBE, static_cast<uint8_t>(expected << 2), static_cast<uint8_t>(lba >> 24),
                static_cast<uint8_t>(lba >> 16), static_cast<uint8_t>(lba >> 8),
                static_cast<uint8_t>(lba), static_cast<uint8_t>(count >> 16),
                static_cast<uint8_t>(count >> 8), static_cast<uint8_t>(count), fields, 0, 0});
}

TEST(OpticalReadCd, AudioAndDataSectorsFromTheCueSheet) {
    CueDisc disc;
    std::unique_ptr<sim::UnitBackend> cd = disc.Unit();
    ASSERT_TRUE(cd);
    std::vector<uint8_t> data(2 * 2352, 0);
    // Audio: 2352 bytes a sector, straight from the raw file.
    sim::ScsiOutcome outcome = RunIn(*cd, ReadCd(1, 2, 2, 0x10), data);
    EXPECT_EQ(outcome.status, sim::StatusGood);
    ASSERT_EQ(outcome.bytesMoved, 2 * 2352u);
    EXPECT_EQ(data, Slice(disc.bytes, 2 * 2352, 4 * 2352));
    // Data: the user bytes after the 16 of sync and header; with every
    // field, the whole sector.
    outcome = RunIn(*cd, ReadCd(2, 6, 1, 0x10), data);
    ASSERT_EQ(outcome.bytesMoved, 2048u);
    EXPECT_EQ(Slice(data, 0, 2048), Slice(disc.bytes, 6 * 2352 + 16, 6 * 2352 + 16 + 2048));
    outcome = RunIn(*cd, ReadCd(0, 6, 1, 0xF8), data);
    ASSERT_EQ(outcome.bytesMoved, 2352u);
    EXPECT_EQ(Slice(data, 0, 2352), Slice(disc.bytes, 6 * 2352, 7 * 2352));
    // READ(10) of a data block; of an audio one, the illegal mode.
    outcome = RunIn(*cd, Cdb10(Read10, 5, 1), data);
    EXPECT_EQ(outcome.status, sim::StatusGood);
    EXPECT_EQ(Slice(data, 0, 2048), Slice(disc.bytes, 5 * 2352 + 16, 5 * 2352 + 16 + 2048));
    ExpectCheckCondition(RunIn(*cd, Cdb10(Read10, 0, 1), data), 5, 0x64, 0);
    // The expected sector type must match; the range must lie on the disc.
    ExpectCheckCondition(RunIn(*cd, ReadCd(2, 0, 1, 0x10), data), 5, 0x64, 0);
    outcome = RunIn(*cd, ReadCd(1, 2, 2, 0x10), data);
    EXPECT_EQ(outcome.status, sim::StatusGood);
    outcome = RunIn(*cd, ReadCd(1, 4, 2, 0x10), data);
    ExpectCheckCondition(outcome, 5, 0x64, 0);
    EXPECT_EQ(outcome.bytesMoved, 2352u) << "the audio sector before the data one moved";
    ExpectCheckCondition(RunIn(*cd, ReadCd(0, 6, 2, 0x10), data), 5, 0x21, 0);
    ExpectCheckCondition(RunIn(*cd, ReadCd(0, 0, 1, 0x12), data), 5, 0x24, 0);  // C2
    // READ CD MSF: 00:02:02 to 00:02:03 is LBA 2.
    outcome = RunIn(*cd, Cdb({0xB9, 0, 0, 0, 2, 2, 0, 2, 3, 0x10, 0, 0}), data);
    ASSERT_EQ(outcome.bytesMoved, 2352u);
    EXPECT_EQ(Slice(data, 0, 2352), Slice(disc.bytes, 2 * 2352, 3 * 2352));
}

TEST(OpticalToc, TracksSessionsAndFullTocOfTheCueDisc) {
    CueDisc disc;
    std::unique_ptr<sim::UnitBackend> cd = disc.Unit();
    ASSERT_TRUE(cd);
    std::vector<uint8_t> toc(256, 0);
    sim::ScsiOutcome outcome = RunIn(*cd, Cdb({0x43, 0, 0, 0, 0, 0, 0, 1, 0, 0}), toc);
    ASSERT_EQ(outcome.bytesMoved, 4u + 4 * 8);
    EXPECT_EQ(Slice(toc, 0, 4), (std::vector<uint8_t>{0, 34, 1, 3}));
    EXPECT_EQ(Slice(toc, 4, 12), (std::vector<uint8_t>{0, 0x10, 1, 0, 0, 0, 0, 0}));
    EXPECT_EQ(Slice(toc, 12, 20), (std::vector<uint8_t>{0, 0x10, 2, 0, 0, 0, 0, 3}));
    EXPECT_EQ(Slice(toc, 20, 28), (std::vector<uint8_t>{0, 0x14, 3, 0, 0, 0, 0, 5}));
    EXPECT_EQ(Slice(toc, 28, 36), (std::vector<uint8_t>{0, 0x14, 0xAA, 0, 0, 0, 0, 7}));
    // Full TOC: A0, A1, A2 and three tracks, 11 bytes each, in MSF.
    outcome = RunIn(*cd, Cdb({0x43, 0, 2, 0, 0, 0, 0, 1, 0, 0}), toc);
    ASSERT_EQ(outcome.bytesMoved, 4u + 6 * 11);
    EXPECT_EQ(Slice(toc, 4, 15), (std::vector<uint8_t>{1, 0x10, 0, 0xA0, 0, 0, 0, 0, 1, 0, 0}));
    EXPECT_EQ(Slice(toc, 26, 37), (std::vector<uint8_t>{1, 0x14, 0, 0xA2, 0, 0, 0, 0, 0, 2, 7}));
    EXPECT_EQ(Slice(toc, 59, 70), (std::vector<uint8_t>{1, 0x14, 0, 3, 0, 0, 0, 0, 0, 2, 5}));
    ExpectCheckCondition(RunIn(*cd, Cdb({0x43, 0, 4, 0, 0, 0, 0, 1, 0, 0}), toc), 5, 0x24, 0);
    // Disc and track information of a pressed disc.
    outcome = RunIn(*cd, Cdb({0x51, 0, 0, 0, 0, 0, 0, 0, 34, 0}), toc);
    ASSERT_EQ(outcome.bytesMoved, 34u);
    EXPECT_EQ(Slice(toc, 2, 7), (std::vector<uint8_t>{0x0E, 1, 1, 1, 3}));
    outcome = RunIn(*cd, Cdb({0x52, 1, 0, 0, 0, 2, 0, 0, 48, 0}), toc);
    ASSERT_EQ(outcome.bytesMoved, 48u);
    EXPECT_EQ(toc[2], 2);
    EXPECT_EQ(toc[5], 0x00) << "an audio track";
    EXPECT_EQ(Slice(toc, 24, 28), (std::vector<uint8_t>{0, 0, 0, 2}));
    ExpectCheckCondition(RunIn(*cd, Cdb({0x52, 1, 0, 0, 0, 9, 0, 0, 48, 0}), toc), 5, 0x24, 0);
}

TEST(OpticalConfiguration, ProfilesAndFeaturesFollowTheDisc) {
    std::unique_ptr<sim::UnitBackend> cd = MustCreate(CdRomUnit(1000));
    ASSERT_TRUE(cd);
    std::vector<uint8_t> reply(512, 0);
    sim::ScsiOutcome outcome = RunIn(*cd, Cdb({0x46, 0, 0, 0, 0, 0, 0, 2, 0, 0}), reply);
    EXPECT_EQ(outcome.status, sim::StatusGood);
    EXPECT_EQ(ReadBig(reply, 6, 2), 0x0008u) << "current profile CD-ROM";
    EXPECT_EQ(ReadBig(reply, 0, 4), outcome.bytesMoved - 4);
    // Profile list first: DVD-ROM, then CD-ROM marked current.
    EXPECT_EQ(Slice(reply, 8, 20),
              (std::vector<uint8_t>{0, 0, 0x03, 8, 0, 0x10, 0, 0, 0, 0x08, 1, 0}));
    // One feature asked for: the CD read feature, current.
    outcome = RunIn(*cd, Cdb({0x46, 2, 0, 0x1E, 0, 0, 0, 0, 255, 0}), reply);
    ASSERT_EQ(outcome.bytesMoved, 8u + 8);
    EXPECT_EQ(Slice(reply, 8, 12), (std::vector<uint8_t>{0, 0x1E, 0x09, 4}));
    // Current features only: the DVD read feature is not among them.
    outcome = RunIn(*cd, Cdb({0x46, 1, 0, 0x1F, 0, 0, 0, 0, 255, 0}), reply);
    ASSERT_GE(outcome.bytesMoved, 12u);
    EXPECT_EQ(ReadBig(reply, 8, 2), 0x0100u);
    ExpectCheckCondition(RunIn(*cd, Cdb({0x46, 3, 0, 0, 0, 0, 0, 0, 255, 0}), reply), 5, 0x24, 0);
    // Without a disc: no current profile, and the drive still answers.
    std::unique_ptr<sim::UnitBackend> empty = MustCreate(CdRomUnit(1000, std::string(), false));
    ASSERT_TRUE(empty);
    outcome = RunIn(*empty, Cdb({0x46, 0, 0, 0, 0, 0, 0, 2, 0, 0}), reply);
    EXPECT_EQ(outcome.status, sim::StatusGood);
    EXPECT_EQ(ReadBig(reply, 6, 2), 0u);
    // Page 2A through MODE SENSE(10) without block descriptors.
    outcome = RunIn(*cd, Cdb({0x5A, 0x08, 0x2A, 0, 0, 0, 0, 1, 0, 0}), reply);
    ASSERT_EQ(outcome.bytesMoved, 8u + 32);
    EXPECT_EQ(Slice(reply, 8, 10), (std::vector<uint8_t>{0x2A, 30}));
    ExpectCheckCondition(RunIn(*cd, Cdb({0x5A, 0x08, 0x05, 0, 0, 0, 0, 1, 0, 0}), reply), 5, 0x24, 0);
}

// Eject and load through START STOP UNIT: the events GET EVENT STATUS
// NOTIFICATION reports once each, and the unit attention of the new disc,
// which the event command does not take.
TEST(OpticalMediaChange, EventsAndUnitAttention) {
    std::unique_ptr<sim::UnitBackend> cd = MustCreate(CdRomUnit(1000));
    ASSERT_TRUE(cd);
    const sim::ScsiCommand events = Cdb({0x4A, 1, 0, 0, 0x10, 0, 0, 0, 8, 0});
    std::vector<uint8_t> reply(8, 0);
    ASSERT_EQ(RunIn(*cd, events, reply).status, sim::StatusGood);
    EXPECT_EQ(reply, (std::vector<uint8_t>{0, 6, 4, 0x10, 0, 0x02, 0, 0}));
    ASSERT_EQ(RunNone(*cd, Cdb({0x1B, 0, 0, 0, 0x02, 0})).status, sim::StatusGood);
    RunIn(*cd, events, reply);
    EXPECT_EQ(Slice(reply, 4, 6), (std::vector<uint8_t>{3, 0x00})) << "media removal, no disc";
    RunIn(*cd, events, reply);
    EXPECT_EQ(reply[4], 0) << "reported once";
    std::vector<uint8_t> mechanism(8, 0);
    RunIn(*cd, Cdb({0xBD, 0, 0, 0, 0, 0, 0, 0, 0, 8, 0, 0}), mechanism);
    EXPECT_EQ(mechanism[1], 0x10) << "the tray is open";

    ASSERT_EQ(RunNone(*cd, Cdb({0x1B, 0, 0, 0, 0x03, 0})).status, sim::StatusGood);
    RunIn(*cd, events, reply);
    EXPECT_EQ(Slice(reply, 4, 6), (std::vector<uint8_t>{2, 0x02})) << "new media";
    ExpectCheckCondition(RunNone(*cd, Cdb({0, 0, 0, 0, 0, 0})), 6, 0x28, 0);
    EXPECT_EQ(RunNone(*cd, Cdb({0, 0, 0, 0, 0, 0})).status, sim::StatusGood);
    // Asynchronous notification is not offered; a class not supported
    // gets no event.
    ExpectCheckCondition(RunIn(*cd, Cdb({0x4A, 0, 0, 0, 0x10, 0, 0, 0, 8, 0}), reply), 5, 0x24, 0);
    RunIn(*cd, Cdb({0x4A, 1, 0, 0, 0x02, 0, 0, 0, 8, 0}), reply);
    EXPECT_EQ(Slice(reply, 0, 4), (std::vector<uint8_t>{0, 2, 0x80, 0x10}));
}

TEST(OpticalCueSheet, RefusesSheetsItCannotServe) {
    const std::vector<uint8_t> bytes(2352 * 2, 0);
    const std::string raw = TempFile(bytes);
    const std::string cue = raw + ".cue";
    const std::string name = raw.substr(raw.rfind('/') + 1);
    for (const std::string& text :
         {"FILE \"" + name + "\" WAVE\n  TRACK 01 AUDIO\n  INDEX 01 00:00:00\n",
          "FILE \"" + name + "\" BINARY\n  TRACK 01 MODE2/2352\n  INDEX 01 00:00:00\n",
          "FILE \"" + name + "\" BINARY\n  TRACK 01 AUDIO\n",
          "FILE \"" + name + "\" BINARY\n  TRACK 01 AUDIO\n  INDEX 01 00:00:00\n"
          "  TRACK 02 AUDIO\n  INDEX 01 00:00:05\n",
          std::string("FILE \"missing.bin\" BINARY\n  TRACK 01 AUDIO\n  INDEX 01 00:00:00\n")}) {
        SCOPED_TRACE(text);
        std::ofstream(cue) << text;
        sim::UnitConfig config = CdRomUnit(0);
        config.backend.cue = cue;
        std::string error;
        EXPECT_FALSE(sim::CreateBackend(config, error));
        EXPECT_NE(error.find("cue sheet"), std::string::npos) << error;
    }
    unlink(raw.c_str());
    unlink(cue.c_str());
}

}  // namespace
