// The CD/DVD writer: blank, appendable and closed media, track-at-once and
// session-at-once writing with the sense a burner expects for writes out of
// order or past a reservation, the write parameters page, BLANK, and the
// image file that results.
#include "units_test_support.h"

#include <fstream>
#include <iterator>

using namespace units_test;

namespace {

uint32_t ReadBig(const std::vector<uint8_t>& bytes, size_t at, size_t count) {
    uint32_t value = 0;
    for (size_t i = 0; i < count; ++i) value = (value << 8) | bytes[at + i];
    return value;
}

sim::UnitConfig WriterUnit(sim::WriterMedia media, const std::string& image = std::string(),
                           sim::WriterDiscState state = sim::WriterDiscState::Blank) {
    sim::UnitConfig config = UnitOf(sim::BackendType::Writer, 0x05);
    config.backend.media = media;
    config.backend.state = state;
    config.backend.capacityBlocks = 1000;
    config.backend.image = image;
    return config;
}

std::vector<uint8_t> DiscInformation(sim::UnitBackend& unit) {
    std::vector<uint8_t> info(34, 0);
    EXPECT_EQ(RunIn(unit, Cdb({0x51, 0, 0, 0, 0, 0, 0, 0, 34, 0}), info).status, sim::StatusGood);
    return info;
}

std::vector<uint8_t> TrackInformation(sim::UnitBackend& unit, uint8_t track) {
    std::vector<uint8_t> info(48, 0);
    EXPECT_EQ(RunIn(unit, Cdb({0x52, 1, 0, 0, 0, track, 0, 0, 48, 0}), info).status,
              sim::StatusGood);
    return info;
}

// Returns nothing: MODE SELECT(10) of the write parameters page with the
// write type and multi-session field given.
sim::ScsiOutcome SelectWriteParameters(sim::UnitBackend& unit, uint8_t writeType,
                                       uint8_t multiSession) {
    std::vector<uint8_t> current(8 + 52, 0);
    RunIn(unit, Cdb({0x5A, 0x08, 0x05, 0, 0, 0, 0, 0, 60, 0}), current);
    current[0] = current[1] = 0;
    current[8 + 2] = writeType;
    current[8 + 3] = static_cast<uint8_t>((multiSession << 6) | 0x04);
    return RunOut(unit, Cdb({0x55, 0x10, 0, 0, 0, 0, 0, 0, 60, 0}), current);
}

std::vector<uint8_t> FileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

TEST(WriterTrackAtOnce, BlankDiscWrittenInOrderClosedAndReadBack) {
    char path[] = "/tmp/writer_test_XXXXXX";
    close(mkstemp(path));
    std::unique_ptr<sim::UnitBackend> writer = MustCreate(WriterUnit(sim::WriterMedia::DvdMinusR, path));
    ASSERT_TRUE(writer);
    std::vector<uint8_t> info = DiscInformation(*writer);
    EXPECT_EQ(info[2], 0x00) << "blank disc, empty session";
    info = TrackInformation(*writer, 0xFF);
    EXPECT_EQ(info[6] & 0x40, 0x40) << "blank track";
    EXPECT_EQ(info[7], 0x01) << "next writable address valid";
    EXPECT_EQ(ReadBig(info, 12, 4), 0u);
    EXPECT_EQ(ReadBig(info, 16, 4), 1000u);
    std::vector<uint8_t> none(8, 0);
    ExpectCheckCondition(RunIn(*writer, Cdb({0x43, 0, 0, 0, 0, 0, 0, 0, 8, 0}), none), 5, 0x24, 0);

    const std::vector<uint8_t> data = Pattern(10 * 2048, 3);
    std::vector<uint8_t> part(data.begin(), data.begin() + 6 * 2048);
    ASSERT_EQ(RunOut(*writer, Cdb10(Write10, 0, 6), part).status, sim::StatusGood);
    // Out of order: behind and ahead of the next writable address.
    std::vector<uint8_t> rest(data.begin() + 6 * 2048, data.end());
    ExpectCheckCondition(RunOut(*writer, Cdb10(Write10, 5, 4), rest), 5, 0x21, 0x02);
    ExpectCheckCondition(RunOut(*writer, Cdb10(Write10, 7, 4), rest), 5, 0x21, 0x02);
    ASSERT_EQ(RunOut(*writer, Cdb({0xAA, 0, 0, 0, 0, 6, 0, 0, 0, 4, 0, 0}), rest).status,
              sim::StatusGood);
    EXPECT_EQ(DiscInformation(*writer)[2], 0x05) << "incomplete disc and session";
    // Past the end of the medium.
    std::vector<uint8_t> big(2048 * 2, 0);
    ExpectCheckCondition(RunOut(*writer, Cdb10(Write10, 10, 991), big), 5, 0x21, 0x00);

    ASSERT_EQ(RunNone(*writer, Cdb10(0x35, 0, 0)).status, sim::StatusGood);
    ASSERT_EQ(RunNone(*writer, Cdb({0x5B, 0, 1, 0, 0, 1, 0, 0, 0, 0})).status, sim::StatusGood);
    ASSERT_EQ(RunNone(*writer, Cdb({0x5B, 0, 2, 0, 0, 0, 0, 0, 0, 0})).status, sim::StatusGood);
    EXPECT_EQ(DiscInformation(*writer)[2], 0x0E) << "complete disc and session";
    ExpectCheckCondition(RunOut(*writer, Cdb10(Write10, 10, 1), big), 5, 0x21, 0x02);

    std::vector<uint8_t> capacity(8, 0);
    RunIn(*writer, Cdb10(0x25, 0, 0), capacity);
    EXPECT_EQ(ReadBig(capacity, 0, 4), 9u);
    std::vector<uint8_t> back(10 * 2048, 0);
    ASSERT_EQ(RunIn(*writer, Cdb10(Read10, 0, 10), back).status, sim::StatusGood);
    EXPECT_EQ(back, data);
    EXPECT_EQ(FileBytes(path), data) << "the image holds what was written";
    unlink(path);
}

TEST(WriterReserveTrack, ReservedSizeBoundsTheTrack) {
    std::unique_ptr<sim::UnitBackend> writer = MustCreate(WriterUnit(sim::WriterMedia::CdR));
    ASSERT_TRUE(writer);
    const sim::ScsiCommand reserve4 = Cdb({0x53, 0, 0, 0, 0, 0, 0, 0, 4, 0});
    ASSERT_EQ(RunNone(*writer, reserve4).status, sim::StatusGood);
    // Track 2, the invisible one, may be reserved; track 1 no more.
    ExpectCheckCondition(RunNone(*writer, Cdb({0x53, 1, 0, 0, 0, 0, 0, 0, 4, 0})), 5, 0x24, 0);
    std::vector<uint8_t> five(5 * 2048, 1);
    ExpectCheckCondition(RunOut(*writer, Cdb10(Write10, 0, 5), five), 5, 0x21, 0x02);
    std::vector<uint8_t> three(3 * 2048, 2);
    ASSERT_EQ(RunOut(*writer, Cdb10(Write10, 0, 3), three).status, sim::StatusGood);
    std::vector<uint8_t> info = TrackInformation(*writer, 1);
    EXPECT_EQ(info[6] & 0x80, 0x80) << "reserved track";
    EXPECT_EQ(ReadBig(info, 16, 4), 1u) << "one free block";
    EXPECT_EQ(ReadBig(TrackInformation(*writer, 2), 8, 4), 4u) << "track 2 starts after it";
    // Closing pads the reserved track; the session then closes.
    ASSERT_EQ(RunNone(*writer, Cdb({0x5B, 0, 1, 0, 0, 1, 0, 0, 0, 0})).status, sim::StatusGood);
    ASSERT_EQ(RunNone(*writer, Cdb({0x5B, 0, 2, 0, 0, 0, 0, 0, 0, 0})).status, sim::StatusGood);
    std::vector<uint8_t> toc(64, 0);
    ASSERT_EQ(RunIn(*writer, Cdb({0x43, 0, 0, 0, 0, 0, 0, 0, 64, 0}), toc).status, sim::StatusGood);
    EXPECT_EQ(toc[1], 18) << "one track and the lead-out";
    EXPECT_EQ(ReadBig(toc, 16, 4), 4u);
}

TEST(WriterWriteParameters, PageTypesAndMultiSession) {
    sim::UnitConfig config = WriterUnit(sim::WriterMedia::CdR);
    config.backend.capacityBlocks = 20000;
    std::unique_ptr<sim::UnitBackend> writer = MustCreate(config);
    ASSERT_TRUE(writer);
    // Raw writing is not offered.
    ExpectCheckCondition(SelectWriteParameters(*writer, 3, 0), 5, 0x26, 0);
    // Session-at-once on CD needs its cue sheet first.
    ASSERT_EQ(SelectWriteParameters(*writer, 2, 0).status, sim::StatusGood);
    std::vector<uint8_t> block(2048, 0);
    ExpectCheckCondition(RunOut(*writer, Cdb10(Write10, 0, 1), block), 5, 0x2C, 0);
    // Track-at-once with a next session allowed leaves the disc appendable.
    ASSERT_EQ(SelectWriteParameters(*writer, 1, 3).status, sim::StatusGood);
    ASSERT_EQ(RunOut(*writer, Cdb10(Write10, 0, 1), block).status, sim::StatusGood);
    ASSERT_EQ(RunNone(*writer, Cdb({0x5B, 0, 2, 0, 0, 0, 0, 0, 0, 0})).status, sim::StatusGood);
    std::vector<uint8_t> info = DiscInformation(*writer);
    EXPECT_EQ(info[2], 0x01) << "incomplete disc, empty last session";
    EXPECT_EQ(info[4], 2) << "two sessions";
    // The next session starts past the first's lead-out and lead-in.
    EXPECT_EQ(ReadBig(TrackInformation(*writer, 0xFF), 12, 4), 1u + 11400);
    ExpectCheckCondition(RunNone(*writer, Cdb({0x5B, 0, 2, 0, 0, 0, 0, 0, 0, 0})), 5, 0x2C, 0);
}

TEST(WriterBlank, OnlyRewritableMediaAreBlanked) {
    std::unique_ptr<sim::UnitBackend> once = MustCreate(WriterUnit(sim::WriterMedia::CdR));
    ASSERT_TRUE(once);
    ExpectCheckCondition(RunNone(*once, Cdb({0xA1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0})), 5, 0x30, 0);
    const std::string image = TempFile(Pattern(3 * 2048, 9));
    std::unique_ptr<sim::UnitBackend> rw =
        MustCreate(WriterUnit(sim::WriterMedia::CdRw, image, sim::WriterDiscState::Closed));
    ASSERT_TRUE(rw);
    EXPECT_EQ(DiscInformation(*rw)[2], 0x1E) << "erasable, complete";
    ExpectCheckCondition(RunNone(*rw, Cdb({0xA1, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0})), 5, 0x24, 0);
    ASSERT_EQ(RunNone(*rw, Cdb({0xA1, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0})).status, sim::StatusGood);
    EXPECT_EQ(DiscInformation(*rw)[2], 0x10) << "erasable, blank";
    EXPECT_TRUE(FileBytes(image).empty());
    std::vector<uint8_t> buffer(12, 0);
    ASSERT_EQ(RunIn(*rw, Cdb({0x5C, 0, 0, 0, 0, 0, 0, 0, 12, 0}), buffer).status, sim::StatusGood);
    EXPECT_EQ(ReadBig(buffer, 4, 4), ReadBig(buffer, 8, 4)) << "the buffer is empty";
    unlink(image.c_str());
}

}  // namespace
