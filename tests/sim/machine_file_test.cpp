// Machine description files: every member read, defaults filled, and each
// kind of bad file refused with a message naming the member's path.
#include "sim/machine/machine.h"
#include "sim/sim.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>

namespace {

using sim::BackendType;
using sim::Machine;
using sim::RegistryEdit;

// Returns the parser's message for `text`, empty when it parses.
std::string ErrorOf(const std::string& text) {
    Machine machine;
    std::string error;
    return sim::ParseMachine(text, machine, error) ? std::string() : error;
}

// Returns the machine of `text`; the test fails when it does not parse.
Machine Parse(const std::string& text) {
    Machine machine;
    std::string error;
    EXPECT_TRUE(sim::ParseMachine(text, machine, error)) << error;
    return machine;
}

// Returns a machine text with one bus holding `units` (unit objects, comma separated).
std::string OneUnit(const std::string& units) {
    return R"({"ports": [{"buses": [{"units": [)" + units + "]}]}]}";
}

// Returns the first unit of the machine with one unit whose members are `members`.
sim::UnitConfig UnitOf(const std::string& members) {
    const Machine machine = Parse(OneUnit("{" + members + "}"));
    if (machine.ports.empty() || machine.ports[0].buses[0].units.empty()) return sim::UnitConfig();
    return machine.ports[0].buses[0].units[0];
}

std::string MachinePath(const char* name) {
    return std::string(PTASPI_SOURCE_DIR) + "/tests/machines/" + name;
}

TEST(MachineFile, ReadsEveryMember) {
    Machine machine;
    std::string error;
    ASSERT_TRUE(sim::LoadMachineFile(MachinePath("every_member.json"), machine, error)) << error;
    EXPECT_EQ(machine.name, "every member");
    EXPECT_EQ(machine.user, sim::UserKind::Limited);
    EXPECT_EQ(machine.windows, sim::WindowsRelease::Xp);
    EXPECT_EQ(machine.opticalAccess, sim::UnitAccess::None);
    ASSERT_EQ(machine.ports.size(), 2u);

    const sim::PortConfig& port = machine.ports[0];
    EXPECT_FALSE(port.device);
    EXPECT_EQ(port.openError, 5u);
    EXPECT_EQ(port.capabilities.MaximumTransferLength, 0x20000u);
    EXPECT_EQ(port.capabilities.MaximumPhysicalPages, 33u);
    EXPECT_EQ(port.capabilities.SupportedAsynchronousEvents, 2u);
    EXPECT_EQ(port.capabilities.AlignmentMask, 7u);
    EXPECT_TRUE(port.capabilities.TaggedQueuing);
    EXPECT_TRUE(port.capabilities.AdapterScansDown);
    EXPECT_TRUE(port.capabilities.AdapterUsesPio);
    EXPECT_EQ(port.capabilitiesError, 31u);
    EXPECT_EQ(port.inquiryError, 1117u);
    EXPECT_EQ(port.inquiryAnswer, (std::vector<uint8_t>{1, 0, 0, 0}));
    EXPECT_FALSE(machine.ports[1].inquiryAnswer.has_value());
    EXPECT_FALSE(port.deviceMap);
    EXPECT_EQ(port.driver, std::optional<std::string>("Wide2"));
    EXPECT_FALSE(port.service);
    EXPECT_EQ(port.imagePath, std::optional<std::string>("\\SystemRoot\\System32\\drivers\\wide2.new.sys"));
    EXPECT_TRUE(port.aspidrv);
    EXPECT_EQ(sim::PortBusType(port), 0x0A) << "BusTypeSas";
    EXPECT_EQ(sim::PortBusType(machine.ports[1]), 0x01) << "BusTypeScsi";
    ASSERT_EQ(port.buses.size(), 1u);

    const sim::BusConfig& bus = port.buses[0];
    EXPECT_FALSE(bus.deviceMap);
    EXPECT_EQ(bus.initiatorId, std::optional<int64_t>(15));
    EXPECT_EQ(bus.extraSubkeys, (std::vector<std::string>{"Control", "Target Id x"}));
    ASSERT_EQ(bus.units.size(), 3u);

    const sim::UnitConfig& disk = bus.units[0];
    EXPECT_EQ(disk.target, 9);
    EXPECT_EQ(disk.lun, 3);
    EXPECT_FALSE(disk.claimed);
    EXPECT_EQ(disk.inquiry.peripheral, 0x7F);
    EXPECT_TRUE(disk.inquiry.removable);
    EXPECT_EQ(disk.inquiry.vendor, "V       ");
    EXPECT_EQ(disk.inquiry.product, "P               ");
    EXPECT_EQ(disk.inquiry.revision, "R   ");
    EXPECT_EQ(disk.classDevices, (std::vector<std::string>{"PhysicalDrive7", "Tape7"}));
    EXPECT_FALSE(disk.drive.has_value());
    EXPECT_EQ(disk.addressError, 50u);
    EXPECT_FALSE(disk.registry);
    EXPECT_EQ(disk.access, sim::UnitAccess::ReadOnly);
    EXPECT_EQ(disk.translation, sim::Translation::Ata);
    EXPECT_FALSE(disk.exclusiveLock.has_value());
    EXPECT_FALSE(disk.autosense);
    EXPECT_EQ(disk.backend.type, BackendType::Disk);
    EXPECT_EQ(disk.backend.blocks, 100u);
    EXPECT_EQ(disk.backend.blockSize, 4096u);
    EXPECT_EQ(disk.backend.file, MachinePath("images/disk.img"));  // beside the file

    const sim::UnitConfig& cdrom = bus.units[1];
    EXPECT_EQ(cdrom.target, 16);
    EXPECT_EQ(cdrom.drive, std::optional<char>('Q'));
    EXPECT_EQ(cdrom.access, sim::UnitAccess::None);
    EXPECT_EQ(cdrom.exclusiveLock, std::optional<std::string>("Disc Burner 7"));
    EXPECT_EQ(cdrom.backend.type, BackendType::CdRom);
    EXPECT_EQ(cdrom.backend.image, "/tmp/absolute.iso");
    EXPECT_EQ(cdrom.backend.blocks, 0u);
    EXPECT_EQ(cdrom.backend.blockSize, 2048u);
    EXPECT_FALSE(cdrom.backend.medium);

    const sim::UnitConfig& scripted = bus.units[2];
    EXPECT_EQ(scripted.target, 200);
    EXPECT_EQ(scripted.lun, 255);
    EXPECT_EQ(scripted.inquiry.peripheral, 3);
    EXPECT_FALSE(scripted.claimed);
    const std::vector<sim::ScriptedResponse>& responses = scripted.backend.responses;
    ASSERT_EQ(responses.size(), 3u);
    EXPECT_EQ(responses[0].opcode, std::optional<uint8_t>(0x00));
    EXPECT_EQ(responses[0].status, 2);
    EXPECT_EQ(responses[0].sense,
              (std::vector<uint8_t>{0x70, 0, 2, 0, 0, 0, 0, 0x0A, 0, 0, 0, 0, 0x3A, 0}));
    EXPECT_EQ(responses[0].times, std::optional<uint32_t>(2));
    EXPECT_EQ(responses[1].opcode, std::optional<uint8_t>(40));
    EXPECT_EQ(responses[1].data, (std::vector<uint8_t>{1, 2, 3}));
    EXPECT_EQ(responses[1].error, 1117u);
    EXPECT_EQ(responses[1].directError, 87u);
    EXPECT_EQ(responses[1].bufferedError, 122u);
    EXPECT_EQ(responses[1].afterError, 1167u);
    EXPECT_EQ(responses[1].delayMs, 250u);
    EXPECT_TRUE(responses[1].hang);
    EXPECT_FALSE(responses[1].times.has_value());
    EXPECT_FALSE(responses[2].opcode.has_value());
    EXPECT_EQ(responses[2].status, 8);
    EXPECT_FALSE(responses[2].hang);

    const sim::PortConfig& second = machine.ports[1];
    EXPECT_EQ(second.buses[0].initiatorId, std::optional<int64_t>(-1));
    EXPECT_EQ(second.buses[0].units[0].backend.type, BackendType::Tape);
    EXPECT_FALSE(second.buses[0].units[0].backend.medium);
    EXPECT_EQ(second.buses[0].units[1].backend.type, BackendType::Iscsi);
    EXPECT_EQ(second.buses[0].units[1].backend.url, "iscsi://127.0.0.1:3260/iqn.2024-01.test:disk/0");
    EXPECT_EQ(second.buses[0].units[1].backend.initiator, "iqn.2024-01.test:host");
    EXPECT_EQ(second.buses[0].units[1].backend.timeoutSeconds, 3u);

    ASSERT_EQ(machine.drives.size(), 5u);
    const sim::DriveKind kinds[] = {sim::DriveKind::Fixed, sim::DriveKind::Removable,
                                    sim::DriveKind::Remote, sim::DriveKind::CdRom,
                                    sim::DriveKind::RamDisk};
    const char letters[] = "CFNRZ";
    for (size_t i = 0; i < 5; ++i) {
        EXPECT_EQ(machine.drives[i].letter, letters[i]);
        EXPECT_EQ(machine.drives[i].kind, kinds[i]);
    }

    // How each edit acts on the registry is the registry test's concern.
    using Kind = RegistryEdit::Kind;
    const Kind editKinds[] = {Kind::SetValue, Kind::SetValue, Kind::SetValue, Kind::SetValue,
                              Kind::CreateKey, Kind::DeleteKey, Kind::DeleteValue, Kind::SetValue};
    const uint32_t types[] = {1, 2, 4, 3, 1, 1, 1, 4};
    ASSERT_EQ(machine.registry.size(), 8u);
    for (size_t i = 0; i < 8; ++i) {
        EXPECT_EQ(machine.registry[i].kind, editKinds[i]) << i;
        if (editKinds[i] == Kind::SetValue) {
            EXPECT_EQ(machine.registry[i].type, types[i]) << i;
        }
    }
    EXPECT_EQ(machine.registry[0].data, (std::vector<uint8_t>{'a', 'b', 'c', 0}));
    EXPECT_EQ(machine.registry[2].data, (std::vector<uint8_t>{4, 3, 2, 1}));
    EXPECT_EQ(machine.registry[3].data, (std::vector<uint8_t>{0xDE, 0xAD, 0xBE, 0xEF}));
    EXPECT_EQ(machine.registry[2].key, "SOFTWARE\\Test");  // the root's name dropped in any case
    EXPECT_EQ(machine.registry[3].value, "");
    EXPECT_EQ(machine.registry[5].key, "SOFTWARE\\Gone");
    EXPECT_EQ(machine.registry[7].key, "");
    EXPECT_EQ(machine.registry[6].value, "Old");
}

TEST(MachineFile, EmptyObjectIsAnEmptyMachine) {
    Machine machine = Parse("{}");
    EXPECT_EQ(machine.name, "");
    EXPECT_EQ(machine.user, sim::UserKind::Administrator);
    EXPECT_TRUE(machine.ports.empty());
    EXPECT_TRUE(machine.drives.empty());
    EXPECT_TRUE(machine.registry.empty());
}

TEST(MachineFile, FillsPortAndBusDefaults) {
    Machine machine = Parse(R"({"ports": [{"buses": [{}]}, {"driver": "Fast"}, {"driver": null}],
                               "drives": [{"letter": "d"}]})");
    ASSERT_EQ(machine.ports.size(), 3u);
    const sim::PortConfig& port = machine.ports[0];
    EXPECT_TRUE(port.device);
    EXPECT_EQ(port.openError, 0u);
    EXPECT_EQ(port.capabilities.MaximumTransferLength, 65536u);
    EXPECT_EQ(port.capabilities.MaximumPhysicalPages, 17u);
    EXPECT_EQ(port.capabilities.SupportedAsynchronousEvents, 0u);
    EXPECT_EQ(port.capabilities.AlignmentMask, 1u);
    EXPECT_FALSE(port.capabilities.TaggedQueuing);
    EXPECT_TRUE(port.deviceMap);
    EXPECT_EQ(port.driver, std::optional<std::string>("hba"));
    EXPECT_TRUE(port.service);
    EXPECT_EQ(port.imagePath, std::optional<std::string>("System32\\DRIVERS\\hba.sys"));
    EXPECT_FALSE(port.aspidrv);
    ASSERT_EQ(port.buses.size(), 1u);
    EXPECT_TRUE(port.buses[0].deviceMap);
    EXPECT_EQ(port.buses[0].initiatorId, std::optional<int64_t>(7));
    EXPECT_TRUE(port.buses[0].extraSubkeys.empty());
    EXPECT_TRUE(port.buses[0].units.empty());
    EXPECT_EQ(machine.ports[1].imagePath, std::optional<std::string>("System32\\DRIVERS\\Fast.sys"));
    EXPECT_FALSE(machine.ports[2].driver.has_value());
    EXPECT_FALSE(machine.ports[2].imagePath.has_value());
    ASSERT_EQ(machine.drives.size(), 1u);
    EXPECT_EQ(machine.drives[0].letter, 'D');
    EXPECT_EQ(machine.drives[0].kind, sim::DriveKind::Fixed);
}

TEST(MachineFile, FillsUnitDefaultsFromTheBackendType) {
    const struct {
        const char* backend;
        BackendType type;
        bool claimed;
        uint8_t peripheral;
        bool removable;
        const char* product;
        uint32_t blocks, blockSize;
    } table[] = {
        {R"({"type": "disk"})", BackendType::Disk, true, 0x00, false, "VIRTUAL DISK    ", 2048, 512},
        {R"({"type": "cdrom"})", BackendType::CdRom, true, 0x05, true, "VIRTUAL CD-ROM  ", 1024, 2048},
        {R"({"type": "tape"})", BackendType::Tape, true, 0x01, true, "VIRTUAL TAPE    ", 0, 0},
        {R"({"type": "scanner"})", BackendType::Scanner, true, 0x06, false, "VIRTUAL SCANNER ", 0, 0},
        {R"({"type": "processor"})", BackendType::Processor, false, 0x03, false, "VIRTUAL PROCESS ", 0, 0},
        {R"({"type": "iscsi", "url": "iscsi://127.0.0.1/x"})", BackendType::Iscsi, false, 0x00, false,
         "ISCSI UNIT      ", 0, 0},
    };
    for (const auto& row : table) {
        SCOPED_TRACE(row.backend);
        const sim::UnitConfig unit = UnitOf(std::string(R"("target": 1, "lun": 2, "backend": )") + row.backend);
        EXPECT_EQ(unit.backend.type, row.type);
        EXPECT_EQ(unit.claimed, row.claimed);
        EXPECT_EQ(unit.inquiry.peripheral, row.peripheral);
        EXPECT_EQ(unit.inquiry.removable, row.removable);
        EXPECT_EQ(unit.inquiry.vendor, "PTASPI  ");
        EXPECT_EQ(unit.inquiry.product, row.product);
        EXPECT_EQ(unit.inquiry.revision, "1.0 ");
        EXPECT_TRUE(unit.classDevices.empty());
        EXPECT_FALSE(unit.drive.has_value());
        EXPECT_EQ(unit.addressError, 0u);
        EXPECT_TRUE(unit.registry);
        EXPECT_EQ(unit.access, sim::UnitAccess::ReadWrite);
        EXPECT_TRUE(unit.autosense);
        EXPECT_TRUE(unit.backend.medium);
        EXPECT_EQ(unit.backend.file, "");
        if (row.blocks != 0) {
            EXPECT_EQ(unit.backend.blocks, row.blocks);
            EXPECT_EQ(unit.backend.blockSize, row.blockSize);
        }
    }
    const sim::UnitConfig scripted =
        UnitOf(R"("target": 0, "lun": 0, "inquiry": {"peripheral": 5}, "backend": {"type": "scripted"})");
    EXPECT_FALSE(scripted.claimed);
    EXPECT_EQ(scripted.inquiry.product, "SCRIPTED UNIT   ");
    EXPECT_TRUE(scripted.backend.responses.empty());
    // The unit's own members win over the backend's defaults.
    const sim::UnitConfig own = UnitOf(R"("target": 0, "lun": 0, "claimed": false,
        "inquiry": {"removable": false, "vendor": "ABCDEFGH", "product": "0123456789ABCDEF",
                    "revision": "WXYZ"}, "backend": {"type": "cdrom"})");
    EXPECT_FALSE(own.claimed);
    EXPECT_FALSE(own.inquiry.removable);
    EXPECT_EQ(own.inquiry.peripheral, 0x05);
    EXPECT_EQ(own.inquiry.vendor + own.inquiry.product + own.inquiry.revision,
              "ABCDEFGH0123456789ABCDEFWXYZ");
}

TEST(MachineFile, PageLimitDefaultsToOneMoreThanTheLargestTransferFills) {
    for (const auto& [caps, pages] : {std::pair<std::string, uint32_t>("{}", 17), {R"({"MaximumTransferLength": 4095})", 1},
                                      {R"({"MaximumTransferLength": 131072})", 33},
                                      {R"({"MaximumPhysicalPages": 5, "MaximumTransferLength": 0})", 5}}) {
        EXPECT_EQ(Parse(R"({"ports": [{"capabilities": )" + caps + "}]}").ports[0].capabilities.MaximumPhysicalPages,
                  pages) << caps;
    }
}

TEST(MachineFile, NumbersInDecimalOrHexText) {
    const struct {
        const char* target;
        int expected;  // -1: refused
    } cases[] = {{"0", 0},           {"255", 255},       {"\"0x1E\"", 30},  {"\"0XfF\"", 255},
                 {"\"0x00FF\"", 255}, {"256", -1},        {"-1", -1},        {"1.5", -1},
                 {"\"0x100\"", -1},  {"\"1E\"", -1},     {"\"0x\"", -1},    {"\"0x1G\"", -1},
                 {"\"30\"", -1},     {"true", -1},       {"null", -1},
                 {"\"0x10000000000000000\"", -1},        {"18446744073709551616", -1}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.target);
        const std::string text =
            OneUnit(std::string(R"({"target": )") + c.target + R"(, "lun": 0, "backend": {"type": "disk"}})");
        if (c.expected < 0) {
            const std::string error = ErrorOf(text);
            EXPECT_EQ(error.rfind("ports[0].buses[0].units[0].target: expected a number from 0 to 255", 0), 0u)
                << error;
        } else {
            const Machine machine = Parse(text);
            ASSERT_EQ(machine.ports.size(), 1u);
            EXPECT_EQ(machine.ports[0].buses[0].units[0].target, c.expected);
        }
    }
    const char* const range = "ports[0].open_error: expected a number from 0 to 4294967295";
    EXPECT_EQ(ErrorOf(R"({"ports": [{"open_error": -5}]})"), range);
    EXPECT_EQ(ErrorOf(R"({"ports": [{"open_error": 4294967296}]})"), range);
    EXPECT_EQ(Parse(R"({"ports": [{"open_error": "0xFFFFFFFF"}]})").ports[0].openError, 0xFFFFFFFFu);
}

TEST(MachineFile, RefusesBadFilesNamingTheMember) {
    const struct {
        const char* text;
        const char* message;
    } cases[] = {
        {R"([])", "top level: expected an object"},
        {R"({"nmae": "x"})", "top level: unknown member 'nmae'"},
        {R"({"name": 5})", "name: expected a string"},
        {R"({"user": "root"})", "user: expected \"administrator\", \"limited\" or \"standard\""},
        {R"({"ports": {}})", "ports: expected an array"},
        {R"({"ports": [{}, 3]})", "ports[1]: expected an object"},
        {R"({"ports": [{}, {"devcie": true}]})", "ports[1]: unknown member 'devcie'"},
        {R"({"ports": [{"device": 1}]})", "ports[0].device: expected true or false"},
        {R"({"ports": [{"capabilities": {"AlignmentMask": 1, "Tagged": true}}]})",
         "ports[0].capabilities: unknown member 'Tagged'"},
        {R"({"ports": [{"capabilities": {"TaggedQueuing": 1}}]})",
         "ports[0].capabilities.TaggedQueuing: expected true or false"},
        {R"({"ports": [{"driver": 3}]})", "ports[0].driver: expected a string or null"},
        {R"({"ports": [{"driver": ""}]})", "ports[0].driver: expected a driver name without backslashes, or null"},
        {R"({"ports": [{"driver": "a\\b"}]})", "ports[0].driver: expected a driver name without backslashes, or null"},
        {R"({"ports": [{"image_path": 1}]})", "ports[0].image_path: expected a string or null"},
        {R"({"ports": [{"buses": [{"initiator_id": "seven"}]}]})",
         "ports[0].buses[0].initiator_id: expected a whole number or null"},
        {R"({"ports": [{"buses": [{"initiator_id": 1.5}]}]})",
         "ports[0].buses[0].initiator_id: expected a whole number or null"},
        {R"({"ports": [{"buses": [{"extra_subkeys": ["ok", 1]}]}]})",
         "ports[0].buses[0].extra_subkeys[1]: expected a string"},
        {R"({"ports": [{"buses": [{"extra_subkeys": ["a\\b"]}]}]})",
         "ports[0].buses[0].extra_subkeys[0]: expected a key name without backslashes"},
        {R"({"ports": [{"driver": "hba"}, {"driver": "HBA", "service": false}]})",
         "ports[1].service: driver 'HBA' is described differently at ports[0]"},
        {R"({"ports": [{"driver": "hba"}, {"driver": "hba", "image_path": "hba.sys"}]})",
         "ports[1].image_path: driver 'hba' is described differently at ports[0]"},
        {R"({"ports": [{}, {"image_path": null}]})",
         "ports[1].image_path: driver 'hba' is described differently at ports[0]"},
        {R"({"ports": [{"buses": [{"units": [{"target": 0, "lun": 0, "drive": "e", "backend": {"type": "cdrom"}}]}]},
                       {"buses": [{"units": [{"target": 0, "lun": 0, "drive": "E", "backend": {"type": "cdrom"}}]}]}]})",
         "ports[1].buses[0].units[0].drive: drive letter E declared twice (also at ports[0].buses[0].units[0].drive)"},
        {R"({"ports": [{"buses": [{"units": [{"target": 0, "lun": 0, "drive": "E", "backend": {"type": "cdrom"}}]}]}],
             "drives": [{"letter": "e", "type": "cdrom"}]})",
         "drives[0].letter: drive letter E declared twice (also at ports[0].buses[0].units[0].drive)"},
        {R"({"ports": [{"buses": [{"units": [
              {"target": 0, "lun": 0, "class_device": "CdRom0", "backend": {"type": "cdrom"}},
              {"target": 1, "lun": 0, "class_device": "cdrom0", "backend": {"type": "cdrom"}}]}]}]})",
         "ports[0].buses[0].units[1].class_device: class device 'cdrom0' declared twice (also at "
         "ports[0].buses[0].units[0].class_device)"},
        {R"({"drives": [{"letter": "C"}, {"letter": "c", "type": "remote"}]})",
         "drives[1].letter: drive letter C declared twice (also at drives[0].letter)"},
        {R"({"drives": [{"type": "fixed"}]})", "drives[0].letter: required member missing"},
        {R"({"drives": [{"letter": "C", "type": "floppy"}]})",
         "drives[0].type: expected \"fixed\", \"removable\", \"remote\", \"cdrom\" or \"ramdisk\""},
        {R"({"drives": [{"letter": "1"}]})", "drives[0].letter: expected a drive letter such as \"E\""},
        {R"({"registry": [{"value": "x", "data": "y"}]})", "registry[0].key: required member missing"},
        {R"({"registry": [{"key": "A\\\\B"}]})", "registry[0].key: empty key name in the path"},
        {R"({"registry": [{"key": "A\\"}]})", "registry[0].key: empty key name in the path"},
        {R"({"registry": [{"key": "A", "data": "y"}]})", "registry[0].data: needs a 'value' name"},
        {R"({"registry": [{"key": "A", "value": "v"}]})", "registry[0].data: required member missing"},
        {R"({"registry": [{"key": "A", "value": "v", "type": "REG_QWORD", "data": 1}]})",
         "registry[0].type: expected \"REG_SZ\", \"REG_EXPAND_SZ\", \"REG_DWORD\" or \"REG_BINARY\""},
        {R"({"registry": [{"key": "A", "value": "v", "type": "REG_DWORD", "data": -1}]})",
         "registry[0].data: expected a number from 0 to 4294967295"},
        {R"({"registry": [{"key": "A", "value": "v", "type": "REG_BINARY", "data": "GG"}]})",
         "registry[0].data: expected hex bytes such as \"70 00 05\""},
        {R"({"registry": [{"key": "A", "value": "v", "data": 5}]})", "registry[0].data: expected a string"},
        {R"({"registry": [{"key": "A", "value": "v", "data": "\u00fc"}]})", "registry[0].data: text must be ASCII"},
        {R"({"registry": [{"key": "A", "value": "v", "data": "a\u0000b"}]})", "registry[0].data: text must be ASCII"},
        {R"({"registry": [{"key": "A", "value": "v", "delete": true, "data": "x"}]})",
         "registry[0].data: not allowed when deleting a value"},
        {R"({"registry": [{"key": "HKEY_LOCAL_MACHINE", "delete": true}]})",
         "registry[0].key: HKEY_LOCAL_MACHINE itself cannot be deleted"},
        {R"({"registry": [{"key": "A", "remove": true}]})", "registry[0]: unknown member 'remove'"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(ErrorOf(c.text), c.message);
    }
}

// The same for the members of a unit: each message names a path below
// ports[0].buses[0].units[0] (an empty message: the unit is accepted).
TEST(MachineFile, RefusesBadUnitsNamingTheMember) {
    const char* const cdromOnly =
        ".drive: a drive letter needs a CD-ROM unit (a cdrom or writer backend, or a scripted or iscsi unit of "
        "peripheral device type 5)";
    const struct {
        const char* units;
        const char* message;
    } cases[] = {
        {R"({"lun": 0, "backend": {"type": "disk"}})", ".target: required member missing"},
        {R"({"target": 0, "backend": {"type": "disk"}})", ".lun: required member missing"},
        {R"({"target": 0, "lun": 0})", ".backend: required member missing"},
        {R"({"target": 0, "lun": 0, "backend": {}})", ".backend.type: required member missing"},
        {R"({"target": 0, "lun": 0, "backend": {"type": "floppy"}})",
         ".backend.type: expected \"disk\", \"cdrom\", \"writer\", \"tape\", \"scanner\", \"processor\", \"scripted\" or \"iscsi\""},
        {R"({"target": 0, "lun": 256, "backend": {"type": "disk"}})", ".lun: expected a number from 0 to 255"},
        {R"({"target": 0, "lun": 0, "taget": 1, "backend": {"type": "disk"}})", ": unknown member 'taget'"},
        {R"({"target": 0, "target": 1, "lun": 0, "backend": {"type": "disk"}})", ": member 'target' appears twice"},
        {R"({"target": 0, "lun": 0, "backend": {"type": "cdrom", "block_size": 512}})",
         ".backend: unknown member 'block_size'"},
        {R"({"target": 0, "lun": 0, "backend": {"type": "cdrom", "image": "a.iso", "blocks": 5}})",
         ".backend.blocks: not allowed together with 'image'"},
        {R"({"target": 0, "lun": 0, "backend": {"type": "disk", "block_size": 0}})",
         ".backend.block_size: expected a number from 1 to 65536"},
        {R"({"target": 0, "lun": 0, "backend": {"type": "disk", "file": ""}})", ".backend.file: expected a file path"},
        {R"({"target": 0, "lun": 0, "backend": {"type": "iscsi"}})", ".backend.url: required member missing"},
        {R"({"target": 0, "lun": 0, "backend": {"type": "iscsi", "url": "iscsi://h/t/0", "initiator": ""}})",
         ".backend.initiator: expected an initiator name"},
        {R"({"target": 0, "lun": 0, "backend": {"type": "iscsi", "url": "iscsi://h/t/0", "timeout_s": 0}})",
         ".backend.timeout_s: expected a number from 1 to 4294967295"},
        {R"({"target": 0, "lun": 0, "backend": {"type": "iscsi", "url": "iscsi://h/t/0", "image": "x"}})",
         ".backend: unknown member 'image'"},
        {R"({"target": 0, "lun": 0, "backend": {"type": "scripted"}})",
         ".inquiry.peripheral: required for scripted units"},
        {R"({"target": 0, "lun": 0, "inquiry": {"vendor": "X"}, "backend": {"type": "scripted"}})",
         ".inquiry.peripheral: required for scripted units"},
        {R"({"target": 0, "lun": 0, "inquiry": {"peripheral": 0},
             "backend": {"type": "scripted", "responses": [{"opcode": 0}, {"opcod": 1}]}})",
         ".backend.responses[1]: unknown member 'opcod'"},
        {R"({"target": 0, "lun": 0, "inquiry": {"peripheral": 0},
             "backend": {"type": "scripted", "responses": [{"sense": "70 0"}]}})",
         ".backend.responses[0].sense: odd number of hex digits"},
        {R"({"target": 0, "lun": 0, "inquiry": {"peripheral": 0},
             "backend": {"type": "scripted", "responses": [{"data": "0x12"}]}})",
         ".backend.responses[0].data: expected hex bytes such as \"70 00 05\""},
        {R"({"target": 0, "lun": 0, "inquiry": {"peripheral": 0},
             "backend": {"type": "scripted", "responses": [{"status": 256}]}})",
         ".backend.responses[0].status: expected a number from 0 to 255"},
        {R"({"target": 0, "lun": 0, "inquiry": {"peripheral": 0},
             "backend": {"type": "scripted", "responses": [{"hang": "yes"}]}})",
         ".backend.responses[0].hang: expected true or false"},
        {R"({"target": 0, "lun": 0, "inquiry": {"vendor": "NINECHARS"}, "backend": {"type": "disk"}})",
         ".inquiry.vendor: text longer than 8 characters"},
        {R"({"target": 0, "lun": 0, "inquiry": {"product": "SEVENTEEN CHARS!!"}, "backend": {"type": "disk"}})",
         ".inquiry.product: text longer than 16 characters"},
        {R"({"target": 0, "lun": 0, "inquiry": {"revision": "1.000"}, "backend": {"type": "disk"}})",
         ".inquiry.revision: text longer than 4 characters"},
        {R"({"target": 0, "lun": 0, "inquiry": {"vendor": "caf\u00e9"}, "backend": {"type": "disk"}})",
         ".inquiry.vendor: text must be ASCII"},
        {R"({"target": 0, "lun": 0, "access": "write-only", "backend": {"type": "disk"}})",
         ".access: expected \"read-write\", \"read-only\" or \"none\""},
        {R"({"target": 0, "lun": 0, "drive": "E", "backend": {"type": "disk"}})", cdromOnly},
        {R"({"target": 0, "lun": 0, "drive": "E", "inquiry": {"peripheral": "0x04"}, "backend": {"type": "scripted"}})",
         cdromOnly},
        {R"({"target": 0, "lun": 0, "drive": "E", "inquiry": {"peripheral": "0x25"}, "backend": {"type": "scripted"}})",
         ""},
        {R"({"target": 0, "lun": 0, "drive": "EF", "backend": {"type": "cdrom"}})",
         ".drive: expected a drive letter such as \"E\""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.units);
        EXPECT_EQ(ErrorOf(OneUnit(c.units)), *c.message ? std::string("ports[0].buses[0].units[0]") + c.message : "");
    }
}

TEST(MachineFile, FailureLeavesTheMachineAsItWas) {
    Machine machine = Parse(R"({"name": "kept", "ports": [{}]})");
    std::string error;
    EXPECT_FALSE(sim::ParseMachine(R"({"name": "other", "ports": [{"device": "no"}]})", machine, error));
    EXPECT_EQ(machine.name, "kept");
    EXPECT_EQ(machine.ports.size(), 1u);
}

TEST(MachineFile, MalformedJsonGivesThePosition) {
    const std::string error = ErrorOf("{\n  \"name\": \"x\",\n  \"ports\": [\n}");
    EXPECT_EQ(error.rfind("malformed JSON: ", 0), 0u) << error;
    EXPECT_NE(error.find("line 4, column 1"), std::string::npos) << error;
    for (const char* text : {"", "{} {}", "{\"name\": \"x\" /* comment */}"}) {
        EXPECT_EQ(ErrorOf(text).rfind("malformed JSON", 0), 0u) << text;
    }
}

TEST(MachineFile, PathsAndAddressesAsWritten) {
    // Parsed from text there is no file to be beside: paths stay as written.
    EXPECT_EQ(UnitOf(R"("target": 0, "lun": 0, "backend": {"type": "disk", "file": "d.img"})").backend.file,
              "d.img");
    // Two units at one address are allowed.
    Machine machine = Parse(OneUnit(R"({"target": 3, "lun": 0, "backend": {"type": "disk"}},
                                       {"target": 3, "lun": 0, "backend": {"type": "tape"}})"));
    ASSERT_EQ(machine.ports[0].buses[0].units.size(), 2u);
    EXPECT_EQ(machine.ports[0].buses[0].units[1].backend.type, BackendType::Tape);
}

TEST(MachineFile, LoadNamesTheFile) {
    Machine machine;
    std::string error;
    const std::string missing = MachinePath("no_such_machine.json");
    EXPECT_FALSE(sim::LoadMachineFile(missing, machine, error));
    EXPECT_EQ(error.rfind(missing + ": ", 0), 0u) << error;
    EXPECT_FALSE(sim::LoadMachineFile(MachinePath("bad_member.json"), machine, error));
    EXPECT_EQ(error, MachinePath("bad_member.json") + ": ports[0].buses[0].units[1]: unknown member 'devcie'");
}

TEST(MachineFile, DefaultMachineMatchesItsFile) {
    EXPECT_NE(std::strstr(sim::DefaultMachineText(), "ptaspi default workstation"), nullptr);
    const Machine builtIn = sim::DefaultMachine();
    Machine file;
    std::string error;
    ASSERT_TRUE(sim::LoadMachineFile(std::string(PTASPI_SOURCE_DIR) + "/machines/default.json", file, error))
        << error;
    EXPECT_EQ(builtIn.name, "ptaspi default workstation");
    EXPECT_EQ(builtIn.name, file.name);
    ASSERT_EQ(builtIn.ports.size(), 3u);
    ASSERT_EQ(file.ports.size(), builtIn.ports.size());
    for (size_t p = 0; p < builtIn.ports.size(); ++p) {
        const sim::PortConfig& port = builtIn.ports[p];
        const sim::PortConfig& filePort = file.ports[p];
        SCOPED_TRACE("port " + std::to_string(p));
        EXPECT_EQ(port.driver, filePort.driver);
        EXPECT_EQ(port.imagePath, filePort.imagePath);
        EXPECT_EQ(port.capabilities.MaximumTransferLength, filePort.capabilities.MaximumTransferLength);
        EXPECT_EQ(port.capabilities.AlignmentMask, filePort.capabilities.AlignmentMask);
        ASSERT_EQ(port.buses.size(), filePort.buses.size());
        for (size_t b = 0; b < port.buses.size(); ++b) {
            EXPECT_EQ(port.buses[b].initiatorId, filePort.buses[b].initiatorId);
            const auto& units = port.buses[b].units;
            const auto& fileUnits = filePort.buses[b].units;
            ASSERT_EQ(units.size(), fileUnits.size());
            for (size_t u = 0; u < units.size(); ++u) {
                EXPECT_EQ(units[u].target, fileUnits[u].target);
                EXPECT_EQ(units[u].lun, fileUnits[u].lun);
                EXPECT_EQ(units[u].claimed, fileUnits[u].claimed);
                EXPECT_EQ(units[u].classDevices, fileUnits[u].classDevices);
                EXPECT_EQ(units[u].drive, fileUnits[u].drive);
                EXPECT_EQ(units[u].backend.type, fileUnits[u].backend.type);
                EXPECT_EQ(units[u].inquiry.vendor + units[u].inquiry.product + units[u].inquiry.revision,
                          fileUnits[u].inquiry.vendor + fileUnits[u].inquiry.product +
                              fileUnits[u].inquiry.revision);
            }
        }
    }
    ASSERT_EQ(builtIn.drives.size(), file.drives.size());
}

// Every machine file shipped in machines/ loads and installs, so that an
// example gone stale with the format fails here, named by its path.
TEST(MachineFile, EveryExampleMachineLoadsAndInstalls) {
    size_t examples = 0;
    for (const auto& entry :
         std::filesystem::directory_iterator(std::string(PTASPI_SOURCE_DIR) + "/machines")) {
        if (entry.path().extension() != ".json") continue;
        ++examples;
        sim::Machine machine;
        std::string error;
        EXPECT_TRUE(sim::LoadMachineFile(entry.path().string(), machine, error) &&
                    sim::InstallMachine(machine, error))
            << error;
    }
    EXPECT_GT(examples, 1u);
    sim::UninstallMachine();
}

}  // namespace
