// The host adapter scan on simulated machines: which ports are recorded,
// their buses, ids and driver names from the registry's SCSI device map,
// and the numbering of host adapters with atapi ports left out.
#include "discovery/host_adapters.h"
#include "discovery_machine.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using discovery_test::DiscoveryMachineTest;

// Returns a machine whose ports are the given JSON port objects.
std::string Ports(const std::string& ports) { return R"({"ports": [)" + ports + "]}"; }

// A port of driver `driver` with `buses` plain buses.
std::string PortOf(const std::string& driver, int buses) {
    std::string text = R"({"driver": ")" + driver + R"(", "buses": [)";
    for (int i = 0; i < buses; ++i) text += i == 0 ? "{}" : ", {}";
    return text + "]}";
}

// A one-bus port of driver hba whose bus has these members.
std::string PortWithBus(const std::string& busMembers) {
    return R"({"driver": "hba", "buses": [{)" + busMembers + "}]}";
}

// A quoted JSON list of subkey names.
std::string Names(const std::vector<std::string>& names) {
    std::string text = "[";
    for (size_t i = 0; i < names.size(); ++i) text += (i ? ", \"" : "\"") + names[i] + "\"";
    return text + "]";
}

std::string Identifier(int port, int bus) { return PortTable[port].Identifier[bus]; }

class HostAdaptersTest : public DiscoveryMachineTest {
protected:
    void Scan(const std::string& machine) {
        Install(machine);
        RunClean(ScanHostAdapters);
    }
    static void ExpectAdapter(int ha, int port, int bus) {
        ASSERT_LT(ha, AdapterCount);
        EXPECT_EQ(AdapterMap[ha].PortNumber, port) << "host adapter " << ha;
        EXPECT_EQ(AdapterMap[ha].PathId, bus) << "host adapter " << ha;
    }
};

// --- Ports and host adapter numbers --------------------------------------------

TEST_F(HostAdaptersTest, NumbersBusesInPortThenBusOrderLeavingOutAtapiPorts) {
    Scan(Ports(PortOf("hba", 2) + "," + PortOf("atapi", 2) + "," + PortOf("hba", 1)));
    EXPECT_EQ(PortCount, 3);
    EXPECT_EQ(PortTable[1].BusCount, 2);
    EXPECT_EQ(Identifier(1, 0), "ATAPI");
    EXPECT_EQ(Identifier(1, 1), "ATAPI");
    ASSERT_EQ(AdapterCount, 3);
    ExpectAdapter(0, 0, 0);
    ExpectAdapter(1, 0, 1);
    ExpectAdapter(2, 2, 0);
}

TEST_F(HostAdaptersTest, AtapiPrefixIsMatchedInAnyCaseButOnlyWhole) {
    Scan(Ports(PortOf("AtApI", 1) + "," + PortOf("atapi2", 1) + "," + PortOf("atap", 1) + "," +
               PortOf("xatapi", 1)));
    EXPECT_EQ(PortCount, 4);
    EXPECT_EQ(Identifier(1, 0), "ATAPI2");
    ASSERT_EQ(AdapterCount, 2);
    ExpectAdapter(0, 2, 0);
    ExpectAdapter(1, 3, 0);
    EXPECT_EQ(Identifier(2, 0), "ATAP");
}

TEST_F(HostAdaptersTest, NoPortDeviceLeavesEverythingEmpty) {
    Scan(Ports(R"({"device": false, "buses": [{}]})"));
    EXPECT_EQ(PortCount, 0);
    EXPECT_EQ(AdapterCount, 0);
}

TEST_F(HostAdaptersTest, AMissingPortDeviceIsPassedOverWhileAHigherPortIsListed) {
    // A removed adapter's number stays unused: with or without its own
    // device map key, the ports after it are scanned and the host adapter
    // numbers stay dense.
    const std::string gap = R"({"device": false, "device_map": false},)";
    Scan(Ports(PortOf("hba", 1) + R"(, {"device": false, "buses": [{}]},)" + gap +
               PortOf("hba", 2)));
    EXPECT_EQ(PortCount, 4);
    EXPECT_EQ(PortTable[1].BusCount, 0);
    EXPECT_EQ(PortTable[2].BusCount, 0);
    ASSERT_EQ(AdapterCount, 3);
    ExpectAdapter(0, 0, 0);
    ExpectAdapter(1, 3, 0);
    ExpectAdapter(2, 3, 1);

    // With no higher port listed, a missing device ends the scan.
    sim::UninstallMachine();
    SetUp();
    Scan(Ports(PortOf("hba", 1) + R"(, {"device": false, "buses": [{}]})"));
    EXPECT_EQ(PortCount, 1);
    EXPECT_EQ(AdapterCount, 1);
    // Any other failure of the open ends the scan, ports listed after it or not.
    sim::UninstallMachine();
    SetUp();
    Scan(Ports(PortOf("hba", 1) + R"(, {"open_error": 3, "buses": [{}]},)" + PortOf("hba", 1)));
    EXPECT_EQ(PortCount, 1);
    EXPECT_EQ(AdapterCount, 1);
}

TEST_F(HostAdaptersTest, ScanEndsAtAPortDeviceThatDoesNotOpen) {
    Scan(Ports(PortOf("hba", 1) + R"(, {"open_error": 5, "buses": [{}]})"));
    EXPECT_EQ(PortCount, 1);
    EXPECT_EQ(AdapterCount, 1);
}

TEST_F(HostAdaptersTest, ScanEndsAtRefusedCapabilities) {
    Scan(Ports(PortOf("hba", 1) + R"(, {"capabilities_error": 1, "buses": [{}]},)" +
               PortOf("hba", 1)));
    EXPECT_EQ(PortCount, 1);
    ASSERT_EQ(AdapterCount, 1);
    ExpectAdapter(0, 0, 0);
}

TEST_F(HostAdaptersTest, ScanEndsAtAPortWithoutDeviceMapKey) {
    Scan(Ports(PortOf("hba", 1) + "," + PortOf("hba", 1) +
               R"(, {"device_map": false, "buses": [{}]},)" + PortOf("hba", 1)));
    EXPECT_EQ(PortCount, 2);
    EXPECT_EQ(AdapterCount, 2);
    EXPECT_EQ(PortTable[2].BusCount, 0);
}

TEST_F(HostAdaptersTest, CapabilitiesAreStoredWhole) {
    Scan(Ports(R"({"capabilities": {"MaximumTransferLength": 131072, "MaximumPhysicalPages": 33,
        "SupportedAsynchronousEvents": 2, "AlignmentMask": 3, "TaggedQueuing": true,
        "AdapterUsesPio": true}, "buses": [{}]})"));
    const IO_SCSI_CAPABILITIES& caps = PortTable[0].Capabilities;
    EXPECT_EQ(caps.Length, 24UL);
    EXPECT_EQ(caps.MaximumTransferLength, 131072UL);
    EXPECT_EQ(caps.MaximumPhysicalPages, 33UL);
    EXPECT_EQ(caps.SupportedAsynchronousEvents, 2UL);
    EXPECT_EQ(caps.AlignmentMask, 3UL);
    EXPECT_EQ(caps.TaggedQueuing, 1);
    EXPECT_EQ(caps.AdapterScansDown, 0);
    EXPECT_EQ(caps.AdapterUsesPio, 1);
}

// --- Buses ---------------------------------------------------------------------

TEST_F(HostAdaptersTest, BusesAreCountedUpToTheFirstMissingBusKey) {
    Scan(Ports(R"({"buses": [{}, {}, {"device_map": false}, {}]},)" + PortOf("hba", 1)));
    EXPECT_EQ(PortTable[0].BusCount, 2);
    ASSERT_EQ(AdapterCount, 3);
    ExpectAdapter(1, 0, 1);
    ExpectAdapter(2, 1, 0);
    EXPECT_EQ(PortTable[0].InitiatorId[3], 0);  // never written
    EXPECT_EQ(Identifier(0, 3), "");
}

TEST_F(HostAdaptersTest, AtMostFourBusesAreRecorded) {
    Scan(Ports(PortOf("hba", 5)));
    EXPECT_EQ(PortTable[0].BusCount, 4);
    EXPECT_EQ(AdapterCount, 4);
}

TEST_F(HostAdaptersTest, PortWithoutBusZeroCountsButHasNoHostAdapter) {
    Scan(Ports(R"({"buses": [{"device_map": false}, {}]},)" + PortOf("hba", 1)));
    EXPECT_EQ(PortCount, 2);
    EXPECT_EQ(PortTable[0].BusCount, 0);
    EXPECT_EQ(PortTable[0].MaxTargets, 8);
    ASSERT_EQ(AdapterCount, 1);
    ExpectAdapter(0, 1, 0);
}

// --- Initiator and target ids ------------------------------------------------------

TEST_F(HostAdaptersTest, InitiatorIdAndTargetWidthFromTheBusSubkeys) {
    // Subkeys enumerate in name order, and only the first 32 are read.
    std::vector<std::string> fillers;
    for (int i = 0; i < 31; ++i) fillers.push_back("A" + std::to_string(100 + i));
    std::vector<std::string> more = fillers;
    more.push_back("A200");
    more.push_back("Target Id 9");
    const std::string processor = R"(, "lun": 0, "backend": {"type": "processor"}})";
    struct Row {
        std::string busMembers;
        int initiatorId, maxTargets;
    } const rows[] = {
        {R"("initiator_id": 7, "units": [{"target": 0)" + processor + R"(, {"target": 1)" +
             processor + "]", 7, 8},
        {R"("initiator_id": null)", 255, 8},  // no Initiator Id subkey
        {R"("initiator_id": 8)", 8, 16},
        {R"("initiator_id": 255)", 255, 16},
        {R"("initiator_id": 6, "extra_subkeys": ["Target Id -1"])", 6, 16},  // 255 as a byte
        // "Initiator Id 12" before "Initiator Id 3": the last wins, 12 widens.
        {R"("initiator_id": null, "extra_subkeys": ["Initiator Id 12", "Initiator Id 3"])", 3, 16},
        {R"("initiator_id": null, "extra_subkeys": ["INITIATOR ID 5", "target id 9"])", 5, 16},
        {R"("initiator_id": null, "extra_subkeys": ["Initiator Id", "Target Id"])", 0, 8},
        // 31 fillers before "Initiator Id 6" make it the 32nd: read.
        {R"("initiator_id": 6, "extra_subkeys": )" + Names(fillers), 6, 8},
        // One more makes it the 33rd, and the "Target Id 9" after it too.
        {R"("initiator_id": 6, "extra_subkeys": )" + Names(more), 255, 8},
        // 127 characters fit the name buffer; 128 need 129 with the NUL and
        // end the walk.
        {R"("initiator_id": 6, "extra_subkeys": [")" + std::string(127, 'A') + R"("])", 6, 8},
        {R"("initiator_id": 6, "extra_subkeys": [")" + std::string(128, 'A') + R"("])", 255, 8},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.busMembers.substr(0, 80));
        SetUp();
        Scan(Ports(PortWithBus(row.busMembers)));
        EXPECT_EQ(PortTable[0].InitiatorId[0], row.initiatorId);
        EXPECT_EQ(PortTable[0].MaxTargets, row.maxTargets);
        TearDown();
    }
}

TEST_F(HostAdaptersTest, TargetIdOfEightOnAnyBusWidensTheWholePort) {
    Scan(Ports(R"({"buses": [{"initiator_id": 7}, {"initiator_id": 7, "units": [
        {"target": 8, "lun": 0, "backend": {"type": "processor"}}]}]})"));
    EXPECT_EQ(PortTable[0].MaxTargets, 16);
    EXPECT_EQ(PortTable[0].BusCount, 2);
}

TEST_F(HostAdaptersTest, FailedSubkeyEnumerationKeepsWhatWasReadBefore) {
    Install(Ports(PortWithBus(R"("initiator_id": null, "extra_subkeys": ["Initiator Id 4", "Target Id 12"])")));
    sim::FailCall(sim::Call::RegEnumKeyExA, 2, ERROR_ACCESS_DENIED);
    RunClean(ScanHostAdapters);
    EXPECT_EQ(PortTable[0].InitiatorId[0], 4);
    EXPECT_EQ(PortTable[0].MaxTargets, 8);
}

// --- Driver names --------------------------------------------------------------------

TEST_F(HostAdaptersTest, DriverNameComesFromTheServiceImagePath) {
    Scan(Ports(PortOf("hba", 2) +
               R"(, {"driver": "scsiport2", "image_path": "\\SystemRoot\\System32\\drivers\\fast.new.sys", "buses": [{}]})" +
               R"(, {"driver": "tail", "image_path": "System32\\drivers\\", "buses": [{}]})" +
               R"(, {"driver": "mixed", "image_path": "x\\Ab_2-c/d.sys", "buses": [{}]})"));
    EXPECT_EQ(Identifier(0, 0), "HBA");
    EXPECT_EQ(Identifier(0, 1), "HBA");
    EXPECT_EQ(Identifier(1, 0), "FAST");
    EXPECT_EQ(Identifier(2, 0), "");
    EXPECT_EQ(Identifier(3, 0), "AB_2-C/D");
    EXPECT_EQ(AdapterCount, 5);
}

TEST_F(HostAdaptersTest, AnyFailingStepGivesUnknownAndKeepsTheHostAdapters) {
    Scan(Ports(R"({"driver": null, "buses": [{}, {}]})"
               R"(, {"driver": "gone", "service": false, "buses": [{}]})"
               R"(, {"driver": "nopath", "image_path": null, "buses": [{}]})"));
    EXPECT_EQ(PortCount, 3);
    EXPECT_EQ(Identifier(0, 0), "UNKNOWN");
    EXPECT_EQ(Identifier(0, 1), "UNKNOWN");
    EXPECT_EQ(Identifier(1, 0), "UNKNOWN");
    EXPECT_EQ(Identifier(2, 0), "UNKNOWN");
    EXPECT_EQ(AdapterCount, 4);
}

TEST_F(HostAdaptersTest, DriverNamesFromOddRegistryValues) {
    // "a\" and 254 'q': 256 bytes without a NUL fill the buffer whole.
    std::string full = "615C";
    for (int i = 0; i < 254; ++i) full += "71";
    const std::string imagePath = R"({"ports": [{"driver": "hba", "buses": [{}]}], "registry": [
        {"key": "SYSTEM\\CurrentControlSet\\Services\\hba", "value": "ImagePath",
         "type": "REG_BINARY", "data": ")";
    const std::pair<std::string, std::string> rows[] = {
        {Ports(R"({"driver": "long", "image_path": "x\\averyveryverylongdrivername.sys",
                   "buses": [{}]})"),
         "AVERYVERYVERYLO"},
        // "SYSTEM\CurrentControlSet\Services\" has 34 characters: a
        // 93-character name fills the 128-character path buffer, 94 do not.
        {Ports(R"({"driver": ")" + std::string(93, 'f') +
               R"(", "image_path": "a\\fits.sys", "buses": [{}]})"),
         "FITS"},
        {Ports(R"({"driver": ")" + std::string(94, 'g') +
               R"(", "image_path": "a\\toolong.sys", "buses": [{}]})"),
         "UNKNOWN"},
        {Ports(R"({"driver": ")" + std::string(256, 'd') + R"(", "buses": [{}]})"), "UNKNOWN"},
        // "hba" as three bytes of binary data, no NUL, is read to its end.
        {R"({"ports": [{"driver": "hba", "buses": [{}]}], "registry": [
            {"key": "HARDWARE\\DEVICEMAP\\Scsi\\Scsi Port 0", "value": "Driver",
             "type": "REG_BINARY", "data": "686261"}]})",
         "HBA"},
        {imagePath + full + R"("}]})", "QQQQQQQQQQQQQQQ"},
        {imagePath + full + R"(71"}]})", "UNKNOWN"},  // one byte more: the query fails
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.second);
        SetUp();
        Scan(row.first);
        EXPECT_EQ(Identifier(0, 0), row.second);
        EXPECT_EQ(AdapterCount, 1);
        TearDown();
    }
}

TEST_F(HostAdaptersTest, FailedImagePathQueryGivesUnknown) {
    Install(Ports(PortOf("hba", 1)));
    sim::FailCall(sim::Call::RegQueryValueExA, 1, ERROR_ACCESS_DENIED, 1, "ImagePath");
    RunClean(ScanHostAdapters);
    EXPECT_EQ(Identifier(0, 0), "UNKNOWN");
}

TEST_F(HostAdaptersTest, DefaultMachineHasTwoHostAdaptersBehindItsAtapiPort) {
    sim::InstallDefaultMachine();
    RunClean(ScanHostAdapters);
    EXPECT_EQ(PortCount, 3);
    ASSERT_EQ(AdapterCount, 3);
    ExpectAdapter(0, 1, 0);
    ExpectAdapter(1, 2, 0);
    ExpectAdapter(2, 2, 1);
    EXPECT_EQ(Identifier(0, 0), "ATAPI");
    EXPECT_EQ(PortTable[0].InitiatorId[0], 255);
    EXPECT_EQ(PortTable[1].InitiatorId[0], 7);
    EXPECT_EQ(PortTable[1].Capabilities.AlignmentMask, 3UL);
}

}  // namespace
