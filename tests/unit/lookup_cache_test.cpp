// FindDevice and its one-entry lookup cache: hits, misses, the empty
// cache, duplicates, and lookups from several threads at once that must
// each get their own unit.
#include "discovery/device_table.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

namespace {

class LookupCacheTest : public ::testing::Test {
protected:
    void SetUp() override { memset(&DeviceTable, 0, sizeof(DeviceTable)); }

    static DeviceEntry& Add(BYTE port, BYTE pathId, BYTE targetId, BYTE lun, BYTE type = 0) {
        DeviceEntry& entry = DeviceTable.Entries[DeviceTable.Count++];
        entry.PortNumber = port;
        entry.PathId = pathId;
        entry.TargetId = targetId;
        entry.Lun = lun;
        entry.DeviceType = type;
        return entry;
    }

    static DWORD CachedWord() { return DeviceTable.LookupCache.Word; }
};

TEST_F(LookupCacheTest, SearchFindsTheEntryWithAllFourAddressBytes) {
    Add(0, 0, 1, 0);
    Add(1, 0, 1, 0);
    Add(1, 1, 1, 0);
    DeviceEntry& wanted = Add(1, 1, 1, 2);
    Add(1, 1, 2, 2);
    EXPECT_EQ(FindDevice(1, 1, 1, 2), &wanted);
    EXPECT_EQ(FindDevice(2, 1, 1, 2), nullptr);
    EXPECT_EQ(FindDevice(1, 2, 1, 2), nullptr);
    EXPECT_EQ(FindDevice(1, 1, 3, 2), nullptr);
    EXPECT_EQ(FindDevice(1, 1, 1, 3), nullptr);
}

TEST_F(LookupCacheTest, OnlyTheLowEightBitsOfEachArgumentCount) {
    DeviceEntry& entry = Add(1, 2, 3, 4);
    EXPECT_EQ(FindDevice(0x101, 0x202, 0x7703, -252), &entry);  // -252 is 0x04 as a byte
}

TEST_F(LookupCacheTest, RepeatedLookupsReturnTheSamePointerFromTheCache) {
    Add(0, 0, 0, 0);
    DeviceEntry& entry = Add(0, 0, 5, 0);
    DeviceEntry* first = FindDevice(0, 0, 5, 0);
    ASSERT_EQ(first, &entry);
    EXPECT_EQ(CachedWord(), 2UL);
    EXPECT_EQ(FindDevice(0, 0, 5, 0), first);
    EXPECT_EQ(FindDevice(0, 0, 5, 0), first);
    EXPECT_EQ(CachedWord(), 2UL);
}

TEST_F(LookupCacheTest, HitIsAnsweredFromTheCacheWithoutSearching) {
    DeviceEntry& first = Add(0, 0, 1, 0);
    DeviceEntry& second = Add(0, 0, 1, 0);
    // Point the cache at the second of two equal entries: a hit returns it
    // as cached, where a search would have found the first.
    DeviceTable.LookupCache.Word = 2;
    EXPECT_EQ(FindDevice(0, 0, 1, 0), &second);
    DeviceTable.LookupCache.Word = 0;
    EXPECT_EQ(FindDevice(0, 0, 1, 0), &first);
}

TEST_F(LookupCacheTest, MissLeavesTheCacheOnTheEarlierUnit) {
    Add(0, 0, 0, 0);
    DeviceEntry& entry = Add(0, 0, 3, 0);
    ASSERT_EQ(FindDevice(0, 0, 3, 0), &entry);
    EXPECT_EQ(FindDevice(0, 0, 4, 0), nullptr);
    EXPECT_EQ(CachedWord(), 2UL);
    EXPECT_EQ(FindDevice(0, 0, 3, 0), &entry);
}

TEST_F(LookupCacheTest, SearchHitReplacesTheCache) {
    Add(0, 0, 1, 0);
    Add(0, 0, 2, 0);
    ASSERT_NE(FindDevice(0, 0, 1, 0), nullptr);
    EXPECT_EQ(CachedWord(), 1UL);
    ASSERT_NE(FindDevice(0, 0, 2, 0), nullptr);
    EXPECT_EQ(CachedWord(), 2UL);
}

TEST_F(LookupCacheTest, EmptyCacheNeverMatchesTheZeroAddress) {
    EXPECT_EQ(FindDevice(0, 0, 0, 0), nullptr);
    Add(1, 0, 0, 0);
    EXPECT_EQ(FindDevice(0, 0, 0, 0), nullptr);
    EXPECT_EQ(CachedWord(), 0UL);
}

TEST_F(LookupCacheTest, CacheBeyondTheFilledEntriesIsIgnored) {
    DeviceEntry& entry = Add(0, 0, 0, 0);
    // An index past Count (or past the table) names no filled entry.
    DeviceTable.LookupCache.Word = 7;
    EXPECT_EQ(FindDevice(0, 0, 0, 0), &entry);
    DeviceTable.LookupCache.Word = MaxDeviceEntries + 5;
    EXPECT_EQ(FindDevice(0, 0, 0, 0), &entry);
    EXPECT_EQ(CachedWord(), 1UL);
}

TEST_F(LookupCacheTest, OfTwoEntriesWithOneAddressTheFirstIsFound) {
    DeviceEntry& first = Add(2, 0, 6, 0, 0x01);
    Add(2, 0, 6, 0, 0x05);
    EXPECT_EQ(FindDevice(2, 0, 6, 0), &first);
    EXPECT_EQ(FindDevice(2, 0, 6, 0), &first);
}

TEST_F(LookupCacheTest, ConcurrentLookupsAlwaysGetTheirOwnUnit) {
    // A full table. The threads walk the same few units in different
    // orders, so that one thread replaces the cache with a unit that
    // another is about to look up while the cache still names the unit
    // before: a cache whose key and entry were written apart would hand
    // out the wrong entry.
    for (int i = 0; i < MaxDeviceEntries; ++i) {
        Add(static_cast<BYTE>(i % 4), static_cast<BYTE>((i / 4) % 2), static_cast<BYTE>(i / 8),
            static_cast<BYTE>(i % 3));
    }
    constexpr int Threads = 4;
    constexpr int Rounds = 1000000;
    constexpr int Units[] = {3, 57, 99};
    std::atomic<int> wrong{0};
    std::atomic<int> missing{0};
    std::atomic<int> ready{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < Threads; ++t) {
        threads.emplace_back([t, &wrong, &missing, &ready, &Units] {
            // Start together, so that the lookups overlap.
            ++ready;
            while (ready.load() < Threads) std::this_thread::yield();
            for (int round = 0; round < Rounds; ++round) {
                const int step = t % 2 == 0 ? round : Rounds - round;
                const int index = Units[(step + t) % 3];
                const DeviceEntry& e = DeviceTable.Entries[index];
                DeviceEntry* found = FindDevice(e.PortNumber, e.PathId, e.TargetId, e.Lun);
                if (found == nullptr) {
                    ++missing;
                } else if (found != &e || found->PortNumber != e.PortNumber ||
                           found->PathId != e.PathId || found->TargetId != e.TargetId ||
                           found->Lun != e.Lun) {
                    ++wrong;
                }
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_EQ(missing.load(), 0);
}

}  // namespace
