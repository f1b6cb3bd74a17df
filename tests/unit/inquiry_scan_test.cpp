// The device scan against what the port driver really returns: the walk
// gets the byte count of the answer, and an answer that does not fit the
// scan's buffer gives nothing.
#include "discovery/device_table.h"
#include "discovery/host_adapters.h"
#include "discovery_machine.h"

#include <gtest/gtest.h>

#include <string>

namespace {

class InquiryScanTest : public discovery_test::DiscoveryMachineTest {
protected:
    // Returns the entries the scans list for a machine of these ports.
    int Scan(const std::string& ports) {
        Install(R"({"ports": [)" + ports + "]}");
        RunClean([] {
            ScanHostAdapters();
            ScanDevices();
        });
        return DeviceTable.Count;
    }
};

TEST_F(InquiryScanTest, RecordsPastTheReturnedBytesAreNotRead) {
    // One bus, a record at 12 read up to its first inquiry byte (25 bytes
    // returned), chained to a record at 64 that the answer does not hold.
    EXPECT_EQ(Scan(R"({"inquiry_answer": "01000000 0207 0000 0C000000 00000000 24000000)"
                   R"( 40000000 03"})"),
              1);
}

TEST_F(InquiryScanTest, PortWhoseAnswerDoesNotFitListsNothing) {
    // 12 bytes of bus data and 52 per record: 78 records fit 4096 bytes.
    for (const auto& [units, listed] : {std::pair<int, int>{78, 78}, std::pair<int, int>{79, 0}}) {
        std::string list;
        for (int target = 0; target < units; ++target) {
            list += (target == 0 ? "" : ",") + std::string(R"({"target": )") +
                    std::to_string(target) + R"(, "lun": 0, "backend": {"type": "processor"}})";
        }
        EXPECT_EQ(Scan(R"({"buses": [{"units": [)" + list + "]}]}"), listed) << units;
        SetUp();  // empty tables for the next machine
    }
}

}  // namespace
