// The commands every emulated unit type answers alike: INQUIRY with its
// vital product data pages, TEST UNIT READY, REQUEST SENSE and the
// unsupported-opcode reply.
#include "units_test_support.h"

#include <cstring>

using namespace units_test;

namespace {

// Returns the big-endian page length of the VPD page header in `page`.
size_t ReadLength(const std::vector<uint8_t>& page) {
    return page.size() < 4 ? 0 : static_cast<size_t>(page[2] << 8 | page[3]);
}

struct TypeCase {
    const char* name;
    sim::BackendType type;
    uint8_t peripheral;
    bool removable;
};

const TypeCase Types[] = {
    {"Disk", sim::BackendType::Disk, 0x00, false},
    {"CdRom", sim::BackendType::CdRom, 0x05, true},
    {"Tape", sim::BackendType::Tape, 0x01, true},
    {"Scanner", sim::BackendType::Scanner, 0x06, false},
    {"Processor", sim::BackendType::Processor, 0x03, false},
};

class CommonCommands : public testing::TestWithParam<TypeCase> {
protected:
    void SetUp() override {
        config_ = UnitOf(GetParam().type, GetParam().peripheral);
        config_.target = 3;
        config_.inquiry.removable = GetParam().removable;
        config_.inquiry.vendor = "VENDORAB";
        config_.inquiry.product = "PRODUCT 12345678";
        config_.inquiry.revision = "R042";
        config_.backend.blocks = 64;
        config_.backend.blockSize = GetParam().type == sim::BackendType::CdRom ? 2048 : 512;
        unit_ = MustCreate(config_);
        ASSERT_TRUE(unit_);
    }

    sim::UnitConfig config_;
    std::unique_ptr<sim::UnitBackend> unit_;
};

TEST_P(CommonCommands, InquiryReturnsStandardData) {
    std::vector<uint8_t> data(96, 0xEE);
    sim::ScsiOutcome outcome = RunIn(*unit_, Cdb({0x12, 0, 0, 0, 96, 0}), data);
    EXPECT_EQ(outcome.status, sim::StatusGood);
    EXPECT_TRUE(outcome.sense.empty());
    ASSERT_EQ(outcome.bytesMoved, 36u);
    EXPECT_EQ(data[0], GetParam().peripheral);
    EXPECT_EQ(data[1], GetParam().removable ? 0x80 : 0x00);
    EXPECT_EQ(data[2], 0x05);
    EXPECT_EQ(data[3], 0x02);
    EXPECT_EQ(data[4], 31);
    EXPECT_EQ(std::memcmp(&data[8], "VENDORAB", 8), 0);
    EXPECT_EQ(std::memcmp(&data[16], "PRODUCT 12345678", 16), 0);
    EXPECT_EQ(std::memcmp(&data[32], "R042", 4), 0);
    EXPECT_EQ(data[36], 0xEE) << "nothing past the 36 bytes is written";
}

// INQUIRY moves the least of allocation length, buffer and 36 bytes, and
// never writes into a data-out buffer.
TEST_P(CommonCommands, InquiryIsCutToAllocationAndBuffer) {
    struct Case {
        uint8_t allocation;
        size_t buffer;
        bool dataIn;
        uint32_t moved;
    };
    for (const Case& c : {Case{5, 64, true, 5}, Case{36, 10, true, 10}, Case{0, 64, true, 0},
                          Case{36, 36, false, 0}}) {
        SCOPED_TRACE(testing::Message() << int(c.allocation) << "/" << c.buffer);
        std::vector<uint8_t> data(c.buffer, 0xEE);
        const sim::ScsiCommand inquiry = Cdb({0x12, 0, 0, 0, c.allocation, 0});
        sim::ScsiOutcome outcome = c.dataIn ? RunIn(*unit_, inquiry, data) : RunOut(*unit_, inquiry, data);
        EXPECT_EQ(outcome.status, sim::StatusGood);
        EXPECT_EQ(outcome.bytesMoved, c.moved);
        if (c.moved > 0) {
            EXPECT_EQ(data[0], GetParam().peripheral);
        }
        if (c.moved < c.buffer) {
            EXPECT_EQ(data[c.moved], 0xEE) << "nothing written past the data";
        }
    }
}

// Returns the VPD page `page` as the unit gives it, at most `allocation` bytes.
std::vector<uint8_t> VpdPage(sim::UnitBackend& unit, uint8_t page, uint8_t allocation = 255) {
    std::vector<uint8_t> data(255, 0xEE);
    sim::ScsiOutcome outcome = RunIn(unit, Cdb({0x12, 0x01, page, 0, allocation, 0}), data);
    EXPECT_EQ(outcome.status, sim::StatusGood);
    data.resize(outcome.bytesMoved);
    return data;
}

// Pages 0x00, 0x80 and 0x83, each with the peripheral byte, its code and a
// length that counts the bytes after the header; the identifiers carry the
// unit's identity and serial number.
TEST_P(CommonCommands, VitalProductDataPages) {
    const std::vector<uint8_t> supported = VpdPage(*unit_, 0x00);
    // A disk adds its block limits page.
    if (GetParam().peripheral == 0x00) {
        EXPECT_EQ(supported, (std::vector<uint8_t>{0, 0, 0, 4, 0x00, 0x80, 0x83, 0xB0}));
        EXPECT_EQ(VpdPage(*unit_, 0xB0), (std::vector<uint8_t>{0, 0xB0, 0, 12, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 0, 0, 0, 0}));
    } else {
        EXPECT_EQ(supported, (std::vector<uint8_t>{GetParam().peripheral, 0, 0, 3, 0x00, 0x80, 0x83}));
    }

    const std::vector<uint8_t> serialPage = VpdPage(*unit_, 0x80);
    ASSERT_EQ(serialPage.size(), 16u);
    EXPECT_EQ(Slice(serialPage, 0, 4), (std::vector<uint8_t>{GetParam().peripheral, 0x80, 0, 12}));
    const std::string serial(serialPage.begin() + 4, serialPage.end());
    EXPECT_EQ(serial.substr(8), "0300") << "target 3, LUN 0 end the serial";

    const std::vector<uint8_t> ids = VpdPage(*unit_, 0x83);
    const std::string t10 = "VENDORABPRODUCT 12345678" + serial;
    ASSERT_EQ(ids.size(), 4 + 4 + t10.size() + 4 + 8);
    EXPECT_EQ(ids[1], 0x83);
    EXPECT_EQ(ReadLength(ids), ids.size() - 4);
    EXPECT_EQ(Slice(ids, 4, 8), (std::vector<uint8_t>{0x02, 0x01, 0, static_cast<uint8_t>(t10.size())}));
    EXPECT_EQ(std::string(ids.begin() + 8, ids.begin() + 8 + t10.size()), t10);
    const size_t naa = 8 + t10.size();
    EXPECT_EQ(Slice(ids, naa, naa + 4), (std::vector<uint8_t>{0x01, 0x03, 0, 8}));
    EXPECT_EQ(ids[naa + 4] >> 4, 3) << "NAA 3, locally assigned";
}

// The serial differs with the unit's place and identity and is the same
// each time the same unit is built.
TEST_P(CommonCommands, SerialNumberFollowsPlaceAndIdentity) {
    const std::vector<uint8_t> serial = VpdPage(*unit_, 0x80);
    EXPECT_EQ(VpdPage(*MustCreate(config_), 0x80), serial);
    sim::UnitConfig moved = config_;
    moved.lun = 1;
    sim::UnitConfig renamed = config_;
    renamed.inquiry.product = "PRODUCT 12345679";
    for (const sim::UnitConfig& other : {moved, renamed}) {
        EXPECT_NE(VpdPage(*MustCreate(other), 0x80), serial);
        EXPECT_NE(VpdPage(*MustCreate(other), 0x83), VpdPage(*unit_, 0x83));
    }
}

TEST_P(CommonCommands, VitalProductDataIsCutAndUnknownPagesRefused) {
    const std::vector<uint8_t> cut = VpdPage(*unit_, 0x83, 6);
    ASSERT_EQ(cut.size(), 6u);
    EXPECT_EQ(ReadLength(cut), VpdPage(*unit_, 0x83).size() - 4) << "the length tells the whole page";
    std::vector<uint8_t> data(64, 0);
    ExpectCheckCondition(RunIn(*unit_, Cdb({0x12, 0x01, 0x81, 0, 64, 0}), data), 5, 0x24, 0);
    ExpectCheckCondition(RunIn(*unit_, Cdb({0x12, 0x01, 0xB1, 0, 64, 0}), data), 5, 0x24, 0);
    ExpectCheckCondition(RunIn(*unit_, Cdb({0x12, 0x00, 0x83, 0, 64, 0}), data), 5, 0x24, 0);
}

TEST_P(CommonCommands, NoUnitAttentionAtPowerOn) {
    sim::ScsiOutcome outcome = RunNone(*unit_, Cdb({0x00, 0, 0, 0, 0, 0}));
    EXPECT_EQ(outcome.status, sim::StatusGood);
    EXPECT_TRUE(outcome.sense.empty());
    std::vector<uint8_t> sense(18, 0xEE);
    outcome = RunIn(*unit_, Cdb({0x03, 0, 0, 0, 18, 0}), sense);
    EXPECT_EQ(outcome.status, sim::StatusGood);
    EXPECT_EQ(outcome.bytesMoved, 18u);
    ExpectFixedSense(sense, 0, 0, 0);
}

TEST_P(CommonCommands, UnsupportedOpcodeGivesInvalidCommandOperationCode) {
    sim::ScsiOutcome outcome = RunNone(*unit_, Cdb({0xE7, 0, 0, 0, 0, 0}));
    const uint8_t expected[18] = {0x70, 0, 5, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x20, 0, 0, 0, 0, 0};
    EXPECT_EQ(outcome.status, sim::StatusCheckCondition);
    EXPECT_EQ(outcome.sense, std::vector<uint8_t>(expected, expected + 18));
    EXPECT_EQ(outcome.bytesMoved, 0u);
}

// REPORT LUNS answers on every type, ready or not: the target's LUNs in
// peripheral device addressing, none for the well-known selection, and
// refuses a reserved selection or an allocation length below 16.
TEST_P(CommonCommands, ReportLunsListsTheTargetsLuns) {
    config_.lun = 2;
    config_.targetLuns = {0, 2};
    config_.backend.medium = false;
    unit_ = MustCreate(config_);
    ASSERT_TRUE(unit_);
    std::vector<uint8_t> data(64, 0xEE);
    sim::ScsiOutcome outcome = RunIn(*unit_, Cdb({0xA0, 0, 0, 0, 0, 0, 0, 0, 0, 64, 0, 0}), data);
    EXPECT_EQ(outcome.status, sim::StatusGood);
    ASSERT_EQ(outcome.bytesMoved, 24u);
    const std::vector<uint8_t> expected = {0, 0, 0, 16, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                                           0, 2, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(Slice(data, 0, 24), expected);
    outcome = RunIn(*unit_, Cdb({0xA0, 0, 1, 0, 0, 0, 0, 0, 0, 64, 0, 0}), data);
    ASSERT_EQ(outcome.bytesMoved, 8u);
    EXPECT_EQ(Slice(data, 0, 4), std::vector<uint8_t>(4, 0));
    ExpectCheckCondition(RunIn(*unit_, Cdb({0xA0, 0, 3, 0, 0, 0, 0, 0, 0, 64, 0, 0}), data), 5,
                         0x24, 0);
    ExpectCheckCondition(RunIn(*unit_, Cdb({0xA0, 0, 0, 0, 0, 0, 0, 0, 0, 15, 0, 0}), data), 5,
                         0x24, 0);
}

// REQUEST SENSE returns the pending sense once (the latest CHECK CONDITION's,
// cut to the allocation length) and then NO SENSE; a cut read clears it too.
TEST_P(CommonCommands, RequestSenseReturnsTheLatestPendingSenseOnce) {
    for (uint8_t allocation : {uint8_t(32), uint8_t(4)}) {
        SCOPED_TRACE(int(allocation));
        std::vector<uint8_t> data(36, 0);
        ExpectCheckCondition(RunNone(*unit_, Cdb({0xC0, 0, 0, 0, 0, 0})), 5, 0x20, 0);
        ExpectCheckCondition(RunIn(*unit_, Cdb({0x12, 0x01, 0x81, 0, 36, 0}), data), 5, 0x24, 0);
        std::vector<uint8_t> sense(32, 0xEE);
        sim::ScsiOutcome outcome = RunIn(*unit_, Cdb({0x03, 0, 0, 0, allocation, 0}), sense);
        EXPECT_EQ(outcome.status, sim::StatusGood);
        EXPECT_TRUE(outcome.sense.empty());
        const uint32_t moved = allocation < 18 ? allocation : 18;
        ASSERT_EQ(outcome.bytesMoved, moved);
        EXPECT_EQ(sense[moved], 0xEE);
        if (moved == 18) {
            sense.resize(18);
            ExpectFixedSense(sense, 5, 0x24, 0);
        } else {
            EXPECT_EQ(sense[0], 0x70);
            EXPECT_EQ(sense[2], 5);
        }
        std::vector<uint8_t> again(18, 0xEE);
        RunIn(*unit_, Cdb({0x03, 0, 0, 0, 18, 0}), again);
        ExpectFixedSense(again, 0, 0, 0);
    }
}

INSTANTIATE_TEST_SUITE_P(EveryEmulatedType, CommonCommands, testing::ValuesIn(Types),
                         [](const testing::TestParamInfo<TypeCase>& info) {
                             return std::string(info.param.name);
                         });

TEST(IdentityOnlyUnits, AnswerOnlyInquiryReadinessAndSense) {
    for (sim::BackendType type : {sim::BackendType::Scanner, sim::BackendType::Processor}) {
        std::unique_ptr<sim::UnitBackend> unit = MustCreate(UnitOf(type, 0x01));
        ASSERT_TRUE(unit);
        std::vector<uint8_t> data(512, 0);
        for (uint8_t opcode : {0x08, 0x0A, 0x1A, 0x25, 0x28, 0x2A, 0x01, 0x1B}) {
            SCOPED_TRACE(opcode);
            ExpectCheckCondition(RunIn(*unit, Cdb({opcode, 0, 0, 0, 1, 0}), data), 5, 0x20, 0);
        }
    }
}

TEST(TapeUnit, WithoutMediumIsNotReadyButStillIdentifies) {
    sim::UnitConfig config = UnitOf(sim::BackendType::Tape, 0x01);
    config.backend.medium = false;
    std::unique_ptr<sim::UnitBackend> unit = MustCreate(config);
    ASSERT_TRUE(unit);
    ExpectCheckCondition(RunNone(*unit, Cdb({0x00, 0, 0, 0, 0, 0})), 2, 0x3A, 0);

    std::vector<uint8_t> data(36, 0);
    sim::ScsiOutcome outcome = RunIn(*unit, Cdb({0x12, 0, 0, 0, 36, 0}), data);
    EXPECT_EQ(outcome.status, sim::StatusGood);
    EXPECT_EQ(data[0], 0x01);

    std::vector<uint8_t> sense(18, 0);
    RunIn(*unit, Cdb({0x03, 0, 0, 0, 18, 0}), sense);
    ExpectFixedSense(sense, 2, 0x3A, 0);
}

}  // namespace
