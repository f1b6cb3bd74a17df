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

    static DeviceEntry& Add(BYTE port, BYTE pathId, BYTE targetId, BYTE lun) {
        DeviceEntry& entry = DeviceTable.Entries[DeviceTable.Count++];
        entry.PortNumber = port;
        entry.PathId = pathId;
        entry.TargetId = targetId;
        entry.Lun = lun;
        return entry;
    }

    static DWORD CachedWord() { return DeviceTable.LookupCache.Word; }
};

TEST_F(LookupCacheTest, SearchMatchesAllFourAddressBytesByTheirLowEightBits) {
    Add(0, 0, 1, 0);
    Add(1, 0, 1, 0);
    Add(1, 1, 1, 0);
    DeviceEntry& wanted = Add(1, 1, 1, 2);
    Add(1, 1, 2, 2);
    EXPECT_EQ(FindDevice(1, 1, 1, 2), &wanted);
    EXPECT_EQ(FindDevice(0x101, 0x301, 0x7701, -254), &wanted);  // -254 is 0x02 as a byte
    EXPECT_EQ(FindDevice(2, 1, 1, 2), nullptr);
    EXPECT_EQ(FindDevice(1, 2, 1, 2), nullptr);
    EXPECT_EQ(FindDevice(1, 1, 3, 2), nullptr);
    EXPECT_EQ(FindDevice(1, 1, 1, 3), nullptr);
}

TEST_F(LookupCacheTest, CacheFollowsEachHitAndOutlivesMisses) {
    DeviceEntry& first = Add(0, 0, 1, 0);
    DeviceEntry& second = Add(0, 0, 5, 0);
    EXPECT_EQ(FindDevice(0, 0, 1, 0), &first);
    EXPECT_EQ(CachedWord(), 1UL);
    EXPECT_EQ(FindDevice(0, 0, 5, 0), &second);
    EXPECT_EQ(CachedWord(), 2UL);
    EXPECT_EQ(FindDevice(0, 0, 5, 0), &second);  // the same pointer again
    EXPECT_EQ(FindDevice(0, 0, 4, 0), nullptr);
    EXPECT_EQ(CachedWord(), 2UL);
    EXPECT_EQ(FindDevice(0, 0, 5, 0), &second);
}

TEST_F(LookupCacheTest, EmptyCacheNeverMatchesTheZeroAddress) {
    EXPECT_EQ(FindDevice(0, 0, 0, 0), nullptr);
    Add(1, 0, 0, 0);
    EXPECT_EQ(FindDevice(0, 0, 0, 0), nullptr);
    EXPECT_EQ(CachedWord(), 0UL);
}

TEST_F(LookupCacheTest, OfDuplicatesTheCachedOneElseTheFirstIsFound) {
    // Two entries with one address: a search finds the first, a cache
    // naming the second answers without searching, and a cache past the
    // filled entries names nothing.
    const struct {
        DWORD cached;
        int found;
    } cases[] = {{0, 0}, {2, 1}, {7, 0}, {MaxDeviceEntries + 5, 0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "cached " << c.cached);
        SetUp();
        Add(2, 0, 6, 0);
        Add(2, 0, 6, 0);
        DeviceTable.LookupCache.Word = c.cached;
        EXPECT_EQ(FindDevice(2, 0, 6, 0), &DeviceTable.Entries[c.found]);
        EXPECT_EQ(FindDevice(2, 0, 6, 0), &DeviceTable.Entries[c.found]);
    }
}

TEST_F(LookupCacheTest, ConcurrentLookupsAlwaysGetTheirOwnUnit) {
    // The threads walk a few units of a full table in different orders, so
    // one replaces the cache while another is about to read it: a cache
    // whose key and entry were written apart would hand out the wrong unit.
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
            ++ready;  // start together, so that the lookups overlap
            while (ready.load() < Threads) std::this_thread::yield();
            for (int round = 0; round < Rounds; ++round) {
                const int step = t % 2 == 0 ? round : Rounds - round;
                const DeviceEntry& e = DeviceTable.Entries[Units[(step + t) % 3]];
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
