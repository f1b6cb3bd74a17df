// The walk of a port's inquiry data, handed raw answers: well-formed ones
// in the layouts port drivers use, and malformed ones whose offsets, bus
// counts and chains must not lead the walk outside the bytes returned.
#include "discovery/device_table.h"
#include "discovery/inquiry_walk.h"
#include "inquiry_image.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <memory>
#include <vector>

namespace {

using inquiry_image::Image;
using inquiry_image::Laid;
using inquiry_image::Unit;

using Address = std::array<int, 3>;  // path id, target id, lun

class InquiryWalkTest : public ::testing::Test {
protected:
    void SetUp() override { memset(&DeviceTable, 0, sizeof(DeviceTable)); }

    // Walks a copy of bytes in a heap block of exactly its size, so that
    // the sanitizer build catches a read past it. length < 0: all of it.
    static void Walk(const std::vector<uint8_t>& bytes, int port = 0, bool driverPath = false,
                     long long length = -1) {
        std::unique_ptr<BYTE[]> copy(new BYTE[bytes.size() + (bytes.empty() ? 1 : 0)]);
        if (!bytes.empty()) memcpy(copy.get(), bytes.data(), bytes.size());
        AppendInquiryUnits(copy.get(), length < 0 ? static_cast<DWORD>(bytes.size())
                                                  : static_cast<DWORD>(length),
                           port, driverPath);
    }

    static std::vector<Address> Listed() {
        std::vector<Address> result;
        for (int i = 0; i < DeviceTable.Count; ++i) {
            const DeviceEntry& e = DeviceTable.Entries[i];
            result.push_back({e.PathId, e.TargetId, e.Lun});
        }
        return result;
    }

    static void ExpectUnit(int index, int port, const Unit& unit) {
        SCOPED_TRACE(testing::Message() << "entry " << index);
        ASSERT_LT(index, DeviceTable.Count);
        const DeviceEntry& entry = DeviceTable.Entries[index];
        EXPECT_EQ(entry.PortNumber, port);
        EXPECT_EQ(Address({entry.PathId, entry.TargetId, entry.Lun}),
                  Address({unit.pathId, unit.targetId, unit.lun}));
        EXPECT_EQ(entry.DeviceClaimed, unit.claimed);  // zero-extended
        EXPECT_EQ(entry.DeviceType, unit.type);        // the whole byte
        EXPECT_EQ(entry.DesiredAccess, 0xC0000000UL);
        EXPECT_EQ(entry.ShareMode, 3UL);
    }
};

TEST_F(InquiryWalkTest, ListsEachBusChainInChainOrderAfterEarlierAnswers) {
    // Port 1 lays its chain out backwards: next offsets count from the
    // buffer's start, and the chain, not the layout, gives the order.
    const Unit a{0, 4, 0, 0, 0x03}, b{0, 5, 1, 1, 0x05}, c{0, 6, 2, 0, 0x01};
    Walk(Image(1, {108}, {{108, a, 60}, {60, b, 12}, {12, c, 0}}), 1);
    // Port 2: an empty bus between two, odd type and claim bytes, and a
    // duplicate address, which is listed twice.
    const Unit d{0, 3, 0, 0, 0x7F}, e{2, 1, 0, 0xFF, 0xE5}, f{2, 1, 0, 0, 0x00};
    Walk(Laid({{d}, {}, {e, f}}), 2);
    ASSERT_EQ(DeviceTable.Count, 6);
    const Unit expected[] = {a, b, c, d, e, f};
    for (int i = 0; i < 6; ++i) ExpectUnit(i, i < 3 ? 1 : 2, expected[i]);
}

TEST_F(InquiryWalkTest, DevicePathFollowsTheClaimUnlessTheDriverPathOpened) {
    const std::vector<uint8_t> units = Laid({{Unit{0, 1, 0, 0, 0}, Unit{0, 2, 0, 1, 0}}});
    Walk(units, 3, false);
    Walk(units, 4, true);
    ASSERT_EQ(DeviceTable.Count, 4);
    const char* const paths[] = {"\\\\.\\scsi3:", "", "\\\\.\\aspidrv4", "\\\\.\\aspidrv4"};
    for (int i = 0; i < 4; ++i) EXPECT_STREQ(DeviceTable.Entries[i].DevicePath, paths[i]) << i;
}

TEST_F(InquiryWalkTest, MalformedAnswersAreReadOnlyWithinTheReturnedBytes) {
    const Unit u1{0, 1, 0, 0, 0}, u2{0, 2, 0, 0, 0};
    const auto cut = [](std::vector<uint8_t> bytes, size_t size) {
        bytes.resize(size);
        return bytes;
    };
    const std::vector<uint8_t> oneRecord = Image(1, {12}, {{12, u1, 0}});
    // A driver claiming more than the 4096 bytes offered, with a record
    // whose first inquiry byte is the block's last.
    constexpr uint32_t last = InquiryBufferLength - 13;
    std::vector<uint8_t> full = cut(Image(1, {last}, {}), InquiryBufferLength);
    full[last + 1] = 9;
    struct Case {
        const char* name;
        std::vector<uint8_t> bytes;
        std::vector<Address> listed;
        long long length;
    } const cases[] = {
        {"empty answer", {}, {}, 0},
        {"no buses", Image(0, {12}, {{12, u1, 0}}), {}, -1},
        // Bus entries 1.. are the record's zero bytes; the last whole one ends the list.
        {"bus count past the bytes", Image(255, {16}, {{16, Unit{}, 0}}), {{0, 0, 0}}, -1},
        {"bus entry cut short", cut(Image(2, {0, 4}, {}), 19), {}, -1},
        {"bus offsets past the bytes", Image(3, {0xFFFFFFF0u, 5000, 28}, {{28, {2, 7, 0, 0, 0}, 0}}),
         {{2, 7, 0}}, -1},
        {"next offset past the bytes", Image(1, {12}, {{12, u1, 0x7FFFFFFF}}), {{0, 1, 0}}, -1},
        {"record ends at its first inquiry byte", oneRecord, {{0, 1, 0}}, 25},
        {"record cut before its inquiry byte", cut(oneRecord, 24), {}, -1},
        {"bytes past the count inside the buffer", Laid({{u1, u2}}), {{0, 1, 0}}, 12 + 48},
        {"count above the buffer size", full, {{0, 9, 0}}, 0xFFFFFFFFll},
        // Lun and claimed byte become path and target; the lun is the
        // low byte of InquiryDataLength.
        {"offset into the middle of a record", Image(2, {20, 22}, {{20, {0, 1, 6, 1, 0}, 0}}),
         {{0, 1, 6}, {6, 1, 36}}, -1},
        {"chain looping back", Image(1, {12}, {{12, u1, 60}, {60, u2, 12}}),
         {{0, 1, 0}, {0, 2, 0}}, -1},
        {"record naming itself next", Image(1, {12}, {{12, u1, 12}}), {{0, 1, 0}}, -1},
        // Not a loop: each bus walks the chain once.
        {"two buses sharing a chain", Image(2, {20, 20}, {{20, u1, 68}, {68, u2, 0}}),
         {{0, 1, 0}, {0, 2, 0}, {0, 1, 0}, {0, 2, 0}}, -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        memset(&DeviceTable, 0, sizeof(DeviceTable));
        Walk(c.bytes, 0, false, c.length);
        EXPECT_EQ(Listed(), c.listed);
    }
}

TEST_F(InquiryWalkTest, UnitsBeyondTheHundredthAreDroppedAndNothingPastTheTableIsWritten) {
    std::vector<Unit> units;
    for (int i = 0; i < 80; ++i) units.push_back(Unit{0, static_cast<uint8_t>(i), 0, 0, 0});
    Walk(Laid({units}), 0);
    Walk(Laid({units}), 1);
    EXPECT_EQ(DeviceTable.Count, MaxDeviceEntries);
    EXPECT_EQ(DeviceTable.LookupCache.Word, 0UL);  // the field after the table
    ExpectUnit(99, 1, Unit{0, 19, 0, 0, 0});
    Walk(Laid({units}), 2);
    EXPECT_EQ(DeviceTable.Count, MaxDeviceEntries);
    EXPECT_EQ(DeviceTable.Entries[99].PortNumber, 1);
}

}  // namespace
