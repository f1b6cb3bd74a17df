// The walk of a port's inquiry data, handed raw answers: well-formed ones
// in the layouts port drivers use, and malformed ones whose offsets, bus
// counts and chains must not lead the walk outside the bytes returned.
#include "discovery/device_table.h"
#include "discovery/inquiry_walk.h"
#include "inquiry_image.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

using inquiry_image::Unit;
using inquiry_image::RecordLength;

class InquiryWalkTest : public ::testing::Test {
protected:
    void SetUp() override { memset(&DeviceTable, 0, sizeof(DeviceTable)); }

    // Walks a copy of bytes in a heap block of exactly its size, so that a
    // read past it is caught by the address sanitizer build.
    static void Walk(const std::vector<uint8_t>& bytes, int port, bool driverPathOpens,
                     DWORD length) {
        std::unique_ptr<BYTE[]> copy(new BYTE[bytes.size() + (bytes.empty() ? 1 : 0)]);
        if (!bytes.empty()) memcpy(copy.get(), bytes.data(), bytes.size());
        AppendInquiryUnits(copy.get(), length, port, driverPathOpens);
    }
    static void Walk(const std::vector<uint8_t>& bytes, int port = 0,
                     bool driverPathOpens = false) {
        Walk(bytes, port, driverPathOpens, static_cast<DWORD>(bytes.size()));
    }

    static void ExpectUnit(int index, int port, const Unit& unit) {
        ASSERT_LT(index, DeviceTable.Count);
        const DeviceEntry& entry = DeviceTable.Entries[index];
        EXPECT_EQ(entry.PortNumber, port) << "entry " << index;
        EXPECT_EQ(entry.PathId, unit.pathId) << "entry " << index;
        EXPECT_EQ(entry.TargetId, unit.targetId) << "entry " << index;
        EXPECT_EQ(entry.Lun, unit.lun) << "entry " << index;
        EXPECT_EQ(entry.DeviceClaimed, unit.claimed) << "entry " << index;
        EXPECT_EQ(entry.DeviceType, unit.type) << "entry " << index;
        EXPECT_EQ(entry.DesiredAccess, 0xC0000000UL) << "entry " << index;
        EXPECT_EQ(entry.ShareMode, 3UL) << "entry " << index;
    }
};

// --- Well-formed answers ---------------------------------------------------

TEST_F(InquiryWalkTest, ListsAChainInChainOrderWithOffsetsFromTheBufferStart) {
    // Three records laid out in reverse of their chain order: each next
    // offset counts from the buffer's start, not from the record.
    const Unit first{0, 4, 0, 0, 0x03};
    const Unit second{0, 5, 1, 1, 0x05};
    const Unit third{0, 6, 2, 0, 0x01};
    std::vector<uint8_t> bytes = inquiry_image::Header(1);
    const uint32_t a = 12 + 2 * RecordLength, b = 12 + RecordLength, c = 12;
    inquiry_image::SetBusOffset(bytes, 0, a);
    inquiry_image::PutRecord(bytes, a, first, b);
    inquiry_image::PutRecord(bytes, b, second, c);
    inquiry_image::PutRecord(bytes, c, third, 0);
    Walk(bytes, 2);
    ASSERT_EQ(DeviceTable.Count, 3);
    ExpectUnit(0, 2, first);
    ExpectUnit(1, 2, second);
    ExpectUnit(2, 2, third);
}

TEST_F(InquiryWalkTest, NextOffsetZeroEndsTheChainAfterTheRecord) {
    std::vector<uint8_t> bytes = inquiry_image::Header(1);
    inquiry_image::SetBusOffset(bytes, 0, 12);
    inquiry_image::PutRecord(bytes, 12, Unit{0, 1, 0, 0, 0}, 0);
    // A record follows in the buffer but is not chained.
    inquiry_image::PutRecord(bytes, 12 + RecordLength, Unit{0, 2, 0, 0, 0}, 0);
    Walk(bytes);
    ASSERT_EQ(DeviceTable.Count, 1);
    EXPECT_EQ(DeviceTable.Entries[0].TargetId, 1);
}

TEST_F(InquiryWalkTest, BusWithOffsetZeroBetweenTwoBusesListsBothOthersInBusOrder) {
    const Unit bus0{0, 3, 0, 0, 0};
    const Unit bus2a{2, 1, 0, 0, 0};
    const Unit bus2b{2, 2, 0, 1, 0x05};
    Walk(inquiry_image::Laid({{bus0}, {}, {bus2a, bus2b}}), 1);
    ASSERT_EQ(DeviceTable.Count, 3);
    ExpectUnit(0, 1, bus0);
    ExpectUnit(1, 1, bus2a);
    ExpectUnit(2, 1, bus2b);
}

TEST_F(InquiryWalkTest, NoBusesGiveNoEntries) {
    std::vector<uint8_t> bytes = inquiry_image::Laid({{Unit{0, 1, 0, 0, 0}}});
    bytes[0] = 0;  // the record is there but no bus lists it
    Walk(bytes);
    EXPECT_EQ(DeviceTable.Count, 0);
}

TEST_F(InquiryWalkTest, TypeByteIsStoredWhole) {
    Walk(inquiry_image::Laid({{Unit{0, 0, 0, 0, 0x7F}, Unit{0, 1, 0, 0, 0xE5}}}));
    ASSERT_EQ(DeviceTable.Count, 2);
    EXPECT_EQ(DeviceTable.Entries[0].DeviceType, 0x7F);
    EXPECT_EQ(DeviceTable.Entries[1].DeviceType, 0xE5);
}

TEST_F(InquiryWalkTest, ClaimedByteIsZeroExtended) {
    Walk(inquiry_image::Laid({{Unit{0, 0, 0, 0xFF, 0}}}));
    ASSERT_EQ(DeviceTable.Count, 1);
    EXPECT_EQ(DeviceTable.Entries[0].DeviceClaimed, 0xFFUL);
}

TEST_F(InquiryWalkTest, SuccessiveAnswersAppendAfterEarlierEntries) {
    Walk(inquiry_image::Laid({{Unit{0, 1, 0, 0, 0}}}), 0);
    Walk(inquiry_image::Laid({{Unit{0, 1, 0, 0, 0}}, {Unit{1, 2, 0, 0, 0}}}), 1);
    ASSERT_EQ(DeviceTable.Count, 3);
    ExpectUnit(0, 0, Unit{0, 1, 0, 0, 0});
    ExpectUnit(1, 1, Unit{0, 1, 0, 0, 0});
    ExpectUnit(2, 1, Unit{1, 2, 0, 0, 0});
}

TEST_F(InquiryWalkTest, DuplicateAddressesAreBothListed) {
    Walk(inquiry_image::Laid({{Unit{0, 1, 0, 0, 0x00}, Unit{0, 1, 0, 0, 0x05}}}));
    ASSERT_EQ(DeviceTable.Count, 2);
    EXPECT_EQ(DeviceTable.Entries[0].DeviceType, 0x00);
    EXPECT_EQ(DeviceTable.Entries[1].DeviceType, 0x05);
}

// --- Device paths ------------------------------------------------------------

TEST_F(InquiryWalkTest, WithoutDriverPathUnclaimedUnitsGetThePortPathAndClaimedNone) {
    Walk(inquiry_image::Laid({{Unit{0, 1, 0, 0, 0}, Unit{0, 2, 0, 1, 0}}}), 3, false);
    ASSERT_EQ(DeviceTable.Count, 2);
    EXPECT_STREQ(DeviceTable.Entries[0].DevicePath, "\\\\.\\scsi3:");
    EXPECT_STREQ(DeviceTable.Entries[1].DevicePath, "");
}

TEST_F(InquiryWalkTest, WithDriverPathEveryUnitGetsTheDriverPath) {
    Walk(inquiry_image::Laid({{Unit{0, 1, 0, 0, 0}, Unit{0, 2, 0, 1, 0}}}), 4, true);
    ASSERT_EQ(DeviceTable.Count, 2);
    EXPECT_STREQ(DeviceTable.Entries[0].DevicePath, "\\\\.\\aspidrv4");
    EXPECT_STREQ(DeviceTable.Entries[1].DevicePath, "\\\\.\\aspidrv4");
}

// --- Malformed answers ---------------------------------------------------------

TEST_F(InquiryWalkTest, NothingIsReadFromAnEmptyAnswer) {
    Walk(std::vector<uint8_t>(), 0, false, 0);
    EXPECT_EQ(DeviceTable.Count, 0);
}

TEST_F(InquiryWalkTest, BusCountBeyondTheReturnedBytesStopsAtTheLastWholeBusEntry) {
    // 255 buses claimed in a 28-byte answer holding three bus entries: the
    // fourth would start at the end of the block, where any read is caught.
    std::vector<uint8_t> empty = inquiry_image::Header(3);
    empty[0] = 255;
    Walk(empty);
    EXPECT_EQ(DeviceTable.Count, 0);

    // 255 buses claimed, one record after bus 0's entry: the bytes of that
    // record are read as the further bus entries (their offsets are its
    // zero bytes), and the list ends with the last entry that fits.
    std::vector<uint8_t> bytes = inquiry_image::Header(1);
    bytes[0] = 255;
    inquiry_image::SetBusOffset(bytes, 0, 12);
    inquiry_image::PutRecord(bytes, 12, Unit{0, 1, 0, 0, 0}, 0);
    inquiry_image::PutDword(bytes, 12 + 4, 0);  // read as bus 1's offset
    Walk(bytes);
    EXPECT_EQ(DeviceTable.Count, 1);

    // A bus entry cut off by the end of the returned bytes is not read.
    memset(&DeviceTable, 0, sizeof(DeviceTable));
    std::vector<uint8_t> cut = inquiry_image::Header(2);
    inquiry_image::SetBusOffset(cut, 1, 4);
    cut.resize(4 + 8 + 7);
    Walk(cut);
    EXPECT_EQ(DeviceTable.Count, 0);
}

TEST_F(InquiryWalkTest, OffsetsPastTheReturnedBytesAreNotFollowed) {
    std::vector<uint8_t> bytes = inquiry_image::Header(3);
    inquiry_image::SetBusOffset(bytes, 0, 0xFFFFFFF0u);  // would wrap an unchecked sum
    inquiry_image::SetBusOffset(bytes, 1, 5000);
    inquiry_image::SetBusOffset(bytes, 2, 28);
    inquiry_image::PutRecord(bytes, 28, Unit{2, 7, 0, 0, 0}, 0);
    Walk(bytes);
    ASSERT_EQ(DeviceTable.Count, 1);
    EXPECT_EQ(DeviceTable.Entries[0].PathId, 2);
}

TEST_F(InquiryWalkTest, RecordMustHoldItsHeaderAndFirstInquiryByteWithinTheReturnedBytes) {
    std::vector<uint8_t> bytes = inquiry_image::Header(1);
    inquiry_image::SetBusOffset(bytes, 0, 12);
    inquiry_image::PutRecord(bytes, 12, Unit{0, 1, 0, 0, 0x08}, 0);
    // Exactly header + 1 byte returned: the record is read.
    Walk(bytes, 0, false, 12 + 13);
    ASSERT_EQ(DeviceTable.Count, 1);
    EXPECT_EQ(DeviceTable.Entries[0].DeviceType, 0x08);
    // One byte less: its inquiry byte is not there, so neither is the record.
    memset(&DeviceTable, 0, sizeof(DeviceTable));
    bytes.resize(12 + 12);
    Walk(bytes);
    EXPECT_EQ(DeviceTable.Count, 0);
}

TEST_F(InquiryWalkTest, BytesBeyondTheReturnedCountAreIgnoredEvenInsideTheBuffer) {
    std::vector<uint8_t> bytes = inquiry_image::Laid({{Unit{0, 1, 0, 0, 0}, Unit{0, 2, 0, 0, 0}}});
    Walk(bytes, 0, false, static_cast<DWORD>(12 + RecordLength));
    ASSERT_EQ(DeviceTable.Count, 1);
    EXPECT_EQ(DeviceTable.Entries[0].TargetId, 1);
}

TEST_F(InquiryWalkTest, ByteCountAboveTheBufferSizeIsCutToIt) {
    // A driver claiming more than the 4096 bytes offered: nothing past them
    // is read (the block is exactly 4096 bytes).
    std::vector<uint8_t> bytes(InquiryBufferLength, 0);
    bytes[0] = 1;
    const uint32_t last = InquiryBufferLength - 13;
    inquiry_image::PutDword(bytes, 8, last);
    bytes[last + 1] = 9;
    inquiry_image::PutDword(bytes, last + 8, 0);
    bytes.resize(InquiryBufferLength);
    Walk(bytes, 0, false, 0xFFFFFFFFu);
    ASSERT_EQ(DeviceTable.Count, 1);
    EXPECT_EQ(DeviceTable.Entries[0].TargetId, 9);
}

TEST_F(InquiryWalkTest, NextOffsetPastTheReturnedBytesEndsTheChain) {
    std::vector<uint8_t> bytes = inquiry_image::Header(1);
    inquiry_image::SetBusOffset(bytes, 0, 12);
    inquiry_image::PutRecord(bytes, 12, Unit{0, 1, 0, 0, 0}, 0x7FFFFFFF);
    Walk(bytes);
    EXPECT_EQ(DeviceTable.Count, 1);
}

TEST_F(InquiryWalkTest, OffsetIntoTheMiddleOfARecordReadsTheBytesFoundThere) {
    // Bus 1 points 2 bytes into bus 0's record: what lies there is read as
    // a record (Lun and claimed byte become its path and target), within
    // the returned bytes.
    std::vector<uint8_t> bytes = inquiry_image::Header(2);
    inquiry_image::SetBusOffset(bytes, 0, 20);
    inquiry_image::SetBusOffset(bytes, 1, 22);
    inquiry_image::PutRecord(bytes, 20, Unit{0, 1, 6, 1, 0}, 0);
    Walk(bytes);
    ASSERT_EQ(DeviceTable.Count, 2);
    EXPECT_EQ(DeviceTable.Entries[1].PathId, 6);
    EXPECT_EQ(DeviceTable.Entries[1].TargetId, 1);
    EXPECT_EQ(DeviceTable.Entries[1].Lun, 36);  // low byte of InquiryDataLength
}

TEST_F(InquiryWalkTest, LoopingChainsEndAtTheFirstRecordVisitedTwice) {
    // A -> B -> A: two entries, then the chain ends.
    std::vector<uint8_t> bytes = inquiry_image::Header(1);
    const uint32_t a = 12, b = 12 + RecordLength;
    inquiry_image::SetBusOffset(bytes, 0, a);
    inquiry_image::PutRecord(bytes, a, Unit{0, 1, 0, 0, 0}, b);
    inquiry_image::PutRecord(bytes, b, Unit{0, 2, 0, 0, 0}, a);
    Walk(bytes);
    ASSERT_EQ(DeviceTable.Count, 2);
    EXPECT_EQ(DeviceTable.Entries[0].TargetId, 1);
    EXPECT_EQ(DeviceTable.Entries[1].TargetId, 2);

    // A record naming itself as its successor.
    memset(&DeviceTable, 0, sizeof(DeviceTable));
    std::vector<uint8_t> self = inquiry_image::Header(1);
    inquiry_image::SetBusOffset(self, 0, 12);
    inquiry_image::PutRecord(self, 12, Unit{0, 3, 0, 0, 0}, 12);
    Walk(self);
    EXPECT_EQ(DeviceTable.Count, 1);
}

TEST_F(InquiryWalkTest, TwoBusesSharingOneChainListItOncePerBus) {
    // A chain belongs to its bus: a second bus pointing at the same
    // records is walked again, without mistaking them for a loop.
    std::vector<uint8_t> bytes = inquiry_image::Laid({{Unit{0, 1, 0, 0, 0}, Unit{0, 2, 0, 0, 0}}, {}});
    inquiry_image::SetBusOffset(bytes, 1, 12 + 8);
    Walk(bytes);
    EXPECT_EQ(DeviceTable.Count, 4);
}

TEST_F(InquiryWalkTest, UnitsBeyondTheHundredthAreDroppedAndNothingPastTheTableIsWritten) {
    std::vector<Unit> units;
    for (int i = 0; i < 80; ++i) units.push_back(Unit{0, static_cast<uint8_t>(i), 0, 0, 0});
    Walk(inquiry_image::Laid({units}), 0);
    ASSERT_EQ(DeviceTable.Count, 80);
    Walk(inquiry_image::Laid({units}), 1);
    EXPECT_EQ(DeviceTable.Count, MaxDeviceEntries);
    EXPECT_EQ(DeviceTable.LookupCache.Word, 0UL);  // the field after the table
    ExpectUnit(99, 1, Unit{0, 19, 0, 0, 0});
    // A full table takes nothing more.
    Walk(inquiry_image::Laid({units}), 2);
    EXPECT_EQ(DeviceTable.Count, MaxDeviceEntries);
    EXPECT_EQ(DeviceTable.Entries[99].PortNumber, 1);
}

}  // namespace
