// Machine description files: every member read, defaults filled, and each
// kind of bad file refused with a message naming the member's path.
#include "sim/machine.h"

#include <gtest/gtest.h>

#include <cstring>
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

// Returns a machine text with one unit whose members are `unit`.
std::string OneUnit(const std::string& unit) {
    return R"({"ports": [{"buses": [{"units": [)" + unit + "]}]}]}";
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
    EXPECT_FALSE(port.deviceMap);
    EXPECT_EQ(port.driver, std::optional<std::string>("Wide2"));
    EXPECT_FALSE(port.service);
    EXPECT_EQ(port.imagePath, std::optional<std::string>("\\SystemRoot\\System32\\drivers\\wide2.new.sys"));
    EXPECT_TRUE(port.aspidrv);
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
    EXPECT_EQ(disk.classDevice, std::optional<std::string>("PhysicalDrive7"));
    EXPECT_FALSE(disk.drive.has_value());
    EXPECT_EQ(disk.addressError, 50u);
    EXPECT_FALSE(disk.registry);
    EXPECT_EQ(disk.access, sim::UnitAccess::ReadOnly);
    EXPECT_FALSE(disk.autosense);
    EXPECT_EQ(disk.backend.type, BackendType::Disk);
    EXPECT_EQ(disk.backend.blocks, 100u);
    EXPECT_EQ(disk.backend.blockSize, 4096u);
    EXPECT_EQ(disk.backend.file, MachinePath("images/disk.img"));

    const sim::UnitConfig& cdrom = bus.units[1];
    EXPECT_EQ(cdrom.target, 16);
    EXPECT_EQ(cdrom.drive, std::optional<char>('Q'));
    EXPECT_EQ(cdrom.access, sim::UnitAccess::None);
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

    ASSERT_EQ(machine.drives.size(), 5u);
    const sim::DriveKind kinds[] = {sim::DriveKind::Fixed, sim::DriveKind::Removable,
                                    sim::DriveKind::Remote, sim::DriveKind::CdRom,
                                    sim::DriveKind::RamDisk};
    const char letters[] = "CFNRZ";
    for (size_t i = 0; i < 5; ++i) {
        EXPECT_EQ(machine.drives[i].letter, letters[i]);
        EXPECT_EQ(machine.drives[i].kind, kinds[i]);
    }

    ASSERT_EQ(machine.registry.size(), 8u);
    const std::vector<RegistryEdit>& edits = machine.registry;
    EXPECT_EQ(edits[0].kind, RegistryEdit::Kind::SetValue);
    EXPECT_EQ(edits[0].key, "SOFTWARE\\Test");
    EXPECT_EQ(edits[0].value, "Text");
    EXPECT_EQ(edits[0].type, 1u);
    EXPECT_EQ(edits[0].data, (std::vector<uint8_t>{'a', 'b', 'c', 0}));
    EXPECT_EQ(edits[1].key, "SOFTWARE\\Test");
    EXPECT_EQ(edits[1].type, 2u);
    EXPECT_EQ(edits[2].key, "SOFTWARE\\Test");
    EXPECT_EQ(edits[2].type, 4u);
    EXPECT_EQ(edits[2].data, (std::vector<uint8_t>{4, 3, 2, 1}));
    EXPECT_EQ(edits[3].value, "");
    EXPECT_EQ(edits[3].type, 3u);
    EXPECT_EQ(edits[3].data, (std::vector<uint8_t>{0xDE, 0xAD, 0xBE, 0xEF}));
    EXPECT_EQ(edits[4].kind, RegistryEdit::Kind::CreateKey);
    EXPECT_EQ(edits[5].kind, RegistryEdit::Kind::DeleteKey);
    EXPECT_EQ(edits[5].key, "SOFTWARE\\Gone");
    EXPECT_EQ(edits[6].kind, RegistryEdit::Kind::DeleteValue);
    EXPECT_EQ(edits[6].value, "Old");
    EXPECT_EQ(edits[7].key, "");
    EXPECT_EQ(edits[7].data, (std::vector<uint8_t>{7, 0, 0, 0}));
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
    struct Expected {
        const char* backend;
        BackendType type;
        bool claimed;
        uint8_t peripheral;
        bool removable;
        const char* product;
    };
    const Expected table[] = {
        {R"({"type": "disk"})", BackendType::Disk, true, 0x00, false, "VIRTUAL DISK    "},
        {R"({"type": "cdrom"})", BackendType::CdRom, true, 0x05, true, "VIRTUAL CD-ROM  "},
        {R"({"type": "tape"})", BackendType::Tape, true, 0x01, true, "VIRTUAL TAPE    "},
        {R"({"type": "scanner"})", BackendType::Scanner, true, 0x06, false, "VIRTUAL SCANNER "},
        {R"({"type": "processor"})", BackendType::Processor, false, 0x03, false, "VIRTUAL PROCESS "},
        {R"({"type": "iscsi", "url": "iscsi://127.0.0.1/x"})", BackendType::Iscsi, false, 0x00,
         false, "ISCSI UNIT      "},
    };
    for (const Expected& row : table) {
        SCOPED_TRACE(row.backend);
        Machine machine = Parse(OneUnit(std::string(R"({"target": 1, "lun": 2, "backend": )") +
                                        row.backend + "}"));
        ASSERT_EQ(machine.ports.size(), 1u);
        const sim::UnitConfig& unit = machine.ports[0].buses[0].units[0];
        EXPECT_EQ(unit.backend.type, row.type);
        EXPECT_EQ(unit.claimed, row.claimed);
        EXPECT_EQ(unit.inquiry.peripheral, row.peripheral);
        EXPECT_EQ(unit.inquiry.removable, row.removable);
        EXPECT_EQ(unit.inquiry.vendor, "PTASPI  ");
        EXPECT_EQ(unit.inquiry.product, row.product);
        EXPECT_EQ(unit.inquiry.revision, "1.0 ");
        EXPECT_FALSE(unit.classDevice.has_value());
        EXPECT_FALSE(unit.drive.has_value());
        EXPECT_EQ(unit.addressError, 0u);
        EXPECT_TRUE(unit.registry);
        EXPECT_EQ(unit.access, sim::UnitAccess::ReadWrite);
        EXPECT_TRUE(unit.autosense);
        EXPECT_TRUE(unit.backend.medium);
    }
    Machine disk = Parse(OneUnit(R"({"target": 0, "lun": 0, "backend": {"type": "disk"}})"));
    EXPECT_EQ(disk.ports[0].buses[0].units[0].backend.blocks, 2048u);
    EXPECT_EQ(disk.ports[0].buses[0].units[0].backend.blockSize, 512u);
    EXPECT_EQ(disk.ports[0].buses[0].units[0].backend.file, "");
    Machine cdrom = Parse(OneUnit(R"({"target": 0, "lun": 0, "backend": {"type": "cdrom"}})"));
    EXPECT_EQ(cdrom.ports[0].buses[0].units[0].backend.blocks, 1024u);
    EXPECT_EQ(cdrom.ports[0].buses[0].units[0].backend.blockSize, 2048u);
    Machine scripted = Parse(OneUnit(
        R"({"target": 0, "lun": 0, "inquiry": {"peripheral": 5}, "backend": {"type": "scripted"}})"));
    const sim::UnitConfig& unit = scripted.ports[0].buses[0].units[0];
    EXPECT_FALSE(unit.claimed);
    EXPECT_EQ(unit.inquiry.product, "SCRIPTED UNIT   ");
    EXPECT_TRUE(unit.backend.responses.empty());
    // The inquiry's own members win over the backend's defaults, claimed too.
    Machine own = Parse(OneUnit(R"({"target": 0, "lun": 0, "claimed": false,
        "inquiry": {"removable": false, "vendor": "ABCDEFGH", "product": "0123456789ABCDEF",
                    "revision": "WXYZ"},
        "backend": {"type": "cdrom"}})"));
    const sim::UnitConfig& owned = own.ports[0].buses[0].units[0];
    EXPECT_FALSE(owned.claimed);
    EXPECT_FALSE(owned.inquiry.removable);
    EXPECT_EQ(owned.inquiry.peripheral, 0x05);
    EXPECT_EQ(owned.inquiry.vendor, "ABCDEFGH");
    EXPECT_EQ(owned.inquiry.product, "0123456789ABCDEF");
    EXPECT_EQ(owned.inquiry.revision, "WXYZ");
}

TEST(MachineFile, NumbersInDecimalOrHexText) {
    struct Case {
        const char* target;
        int expected;  // -1: refused
    };
    const Case cases[] = {{"0", 0},         {"255", 255},    {"\"0x1E\"", 30}, {"\"0XfF\"", 255},
                          {"\"0x00FF\"", 255}, {"256", -1},   {"-1", -1},       {"1.5", -1},
                          {"\"0x100\"", -1}, {"\"1E\"", -1},  {"\"0x\"", -1},   {"\"0x1G\"", -1},
                          {"\"30\"", -1},   {"true", -1},    {"null", -1},
                          {"\"0x10000000000000000\"", -1},   {"18446744073709551616", -1}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.target);
        const std::string text =
            OneUnit(std::string(R"({"target": )") + c.target + R"(, "lun": 0, "backend": {"type": "disk"}})");
        Machine machine;
        std::string error;
        const bool parsed = sim::ParseMachine(text, machine, error);
        if (c.expected < 0) {
            EXPECT_FALSE(parsed);
            EXPECT_EQ(error.rfind("ports[0].buses[0].units[0].target: expected a number from 0 to 255", 0),
                      0u)
                << error;
        } else {
            ASSERT_TRUE(parsed) << error;
            EXPECT_EQ(machine.ports[0].buses[0].units[0].target, c.expected);
        }
    }
    EXPECT_EQ(ErrorOf(R"({"ports": [{"open_error": -5}]})"),
              "ports[0].open_error: expected a number from 0 to 4294967295");
    EXPECT_EQ(ErrorOf(R"({"ports": [{"open_error": 4294967296}]})"),
              "ports[0].open_error: expected a number from 0 to 4294967295");
    Machine big = Parse(R"({"ports": [{"open_error": "0xFFFFFFFF"}]})");
    EXPECT_EQ(big.ports[0].openError, 0xFFFFFFFFu);
}

TEST(MachineFile, RefusesBadFilesNamingTheMember) {
    struct Case {
        const char* text;
        const char* message;
    };
    const std::string unit = R"("target": 0, "lun": 0)";
    const Case cases[] = {
        {R"([])", "top level: expected an object"},
        {R"({"nmae": "x"})", "top level: unknown member 'nmae'"},
        {R"({"name": 5})", "name: expected a string"},
        {R"({"user": "root"})", "user: expected \"administrator\" or \"limited\""},
        {R"({"ports": {}})", "ports: expected an array"},
        {R"({"ports": [{}, 3]})", "ports[1]: expected an object"},
        {R"({"ports": [{}, {"devcie": true}]})", "ports[1]: unknown member 'devcie'"},
        {R"({"ports": [{"device": 1}]})", "ports[0].device: expected true or false"},
        {R"({"ports": [{"capabilities": {"AlignmentMask": 1, "Tagged": true}}]})",
         "ports[0].capabilities: unknown member 'Tagged'"},
        {R"({"ports": [{"capabilities": {"TaggedQueuing": 1}}]})",
         "ports[0].capabilities.TaggedQueuing: expected true or false"},
        {R"({"ports": [{"driver": 3}]})", "ports[0].driver: expected a string or null"},
        {R"({"ports": [{"driver": ""}]})",
         "ports[0].driver: expected a driver name without backslashes, or null"},
        {R"({"ports": [{"driver": "a\\b"}]})",
         "ports[0].driver: expected a driver name without backslashes, or null"},
        {R"({"ports": [{"image_path": 1}]})", "ports[0].image_path: expected a string or null"},
        {R"({"ports": [{"buses": [{"initiator_id": "seven"}]}]})",
         "ports[0].buses[0].initiator_id: expected a whole number or null"},
        {R"({"ports": [{"buses": [{"initiator_id": 1.5}]}]})",
         "ports[0].buses[0].initiator_id: expected a whole number or null"},
        {R"({"ports": [{"buses": [{"extra_subkeys": ["ok", 1]}]}]})",
         "ports[0].buses[0].extra_subkeys[1]: expected a string"},
        {R"({"ports": [{"buses": [{"extra_subkeys": ["a\\b"]}]}]})",
         "ports[0].buses[0].extra_subkeys[0]: expected a key name without backslashes"},
        {R"({"ports": [{"buses": [{"units": [{"lun": 0, "backend": {"type": "disk"}}]}]}]})",
         "ports[0].buses[0].units[0].target: required member missing"},
        {R"({"ports": [{"buses": [{"units": [{"target": 0, "backend": {"type": "disk"}}]}]}]})",
         "ports[0].buses[0].units[0].lun: required member missing"},
        {R"({"ports": [{"buses": [{"units": [{"target": 0, "lun": 0}]}]}]})",
         "ports[0].buses[0].units[0].backend: required member missing"},
        {R"({"ports": [{"buses": [{"units": [{"target": 0, "lun": 0, "backend": {}}]}]}]})",
         "ports[0].buses[0].units[0].backend.type: required member missing"},
        {R"({"ports": [{"buses": [{"units": [{"target": 0, "lun": 0, "backend": {"type": "floppy"}}]}]}]})",
         "ports[0].buses[0].units[0].backend.type: expected \"disk\", \"cdrom\", \"tape\", "
         "\"scanner\", \"processor\", \"scripted\" or \"iscsi\""},
        {R"({"ports": [{"buses": [{"units": [{"target": 0, "lun": 256, "backend": {"type": "disk"}}]}]}]})",
         "ports[0].buses[0].units[0].lun: expected a number from 0 to 255"},
        {R"({"ports": [{"buses": [{"units": [{"target": 0, "lun": 0, "taget": 1, "backend": {"type": "disk"}}]}]}]})",
         "ports[0].buses[0].units[0]: unknown member 'taget'"},
        {R"({"ports": [{"buses": [{"units": [{"target": 0, "lun": 0, "backend": {"type": "cdrom", "block_size": 512}}]}]}]})",
         "ports[0].buses[0].units[0].backend: unknown member 'block_size'"},
        {R"({"ports": [{"buses": [{"units": [{"target": 0, "lun": 0, "backend": {"type": "cdrom", "image": "a.iso", "blocks": 5}}]}]}]})",
         "ports[0].buses[0].units[0].backend.blocks: not allowed together with 'image'"},
        {R"({"ports": [{"buses": [{"units": [{"target": 0, "lun": 0, "backend": {"type": "disk", "block_size": 0}}]}]}]})",
         "ports[0].buses[0].units[0].backend.block_size: expected a number from 1 to 65536"},
        {R"({"ports": [{"buses": [{"units": [{"target": 0, "lun": 0, "backend": {"type": "disk", "file": ""}}]}]}]})",
         "ports[0].buses[0].units[0].backend.file: expected a file path"},
        {R"({"ports": [{"buses": [{"units": [{"target": 0, "lun": 0, "backend": {"type": "iscsi"}}]}]}]})",
         "ports[0].buses[0].units[0].backend.url: required member missing"},
        {R"({"ports": [{"buses": [{"units": [{"target": 0, "lun": 0, "backend": {"type": "scripted"}}]}]}]})",
         "ports[0].buses[0].units[0].inquiry.peripheral: required for scripted units"},
        {R"({"ports": [{"buses": [{"units": [{"target": 0, "lun": 0, "inquiry": {"vendor": "X"}, "backend": {"type": "scripted"}}]}]}]})",
         "ports[0].buses[0].units[0].inquiry.peripheral: required for scripted units"},
        {R"({"ports": [{"buses": [{"units": [{"target": 0, "lun": 0, "inquiry": {"peripheral": 0},
              "backend": {"type": "scripted", "responses": [{"opcode": 0}, {"opcod": 1}]}}]}]}]})",
         "ports[0].buses[0].units[0].backend.responses[1]: unknown member 'opcod'"},
        {R"({"ports": [{"buses": [{"units": [{"target": 0, "lun": 0, "inquiry": {"peripheral": 0},
              "backend": {"type": "scripted", "responses": [{"sense": "70 0"}]}}]}]}]})",
         "ports[0].buses[0].units[0].backend.responses[0].sense: odd number of hex digits"},
        {R"({"ports": [{"buses": [{"units": [{"target": 0, "lun": 0, "inquiry": {"peripheral": 0},
              "backend": {"type": "scripted", "responses": [{"data": "0x12"}]}}]}]}]})",
         "ports[0].buses[0].units[0].backend.responses[0].data: expected hex bytes such as \"70 00 05\""},
        {R"({"ports": [{"buses": [{"units": [{"target": 0, "lun": 0, "inquiry": {"peripheral": 0},
              "backend": {"type": "scripted", "responses": [{"status": 256}]}}]}]}]})",
         "ports[0].buses[0].units[0].backend.responses[0].status: expected a number from 0 to 255"},
        {R"({"ports": [{"buses": [{"units": [{"target": 0, "lun": 0, "inquiry": {"peripheral": 0},
              "backend": {"type": "scripted", "responses": [{"hang": "yes"}]}}]}]}]})",
         "ports[0].buses[0].units[0].backend.responses[0].hang: expected true or false"},
        {R"({"ports": [{"buses": [{"units": [{"target": 0, "lun": 0, "inquiry": {"vendor": "NINECHARS"}, "backend": {"type": "disk"}}]}]}]})",
         "ports[0].buses[0].units[0].inquiry.vendor: text longer than 8 characters"},
        {R"({"ports": [{"buses": [{"units": [{"target": 0, "lun": 0, "inquiry": {"product": "SEVENTEEN CHARS!!"}, "backend": {"type": "disk"}}]}]}]})",
         "ports[0].buses[0].units[0].inquiry.product: text longer than 16 characters"},
        {R"({"ports": [{"buses": [{"units": [{"target": 0, "lun": 0, "inquiry": {"revision": "1.000"}, "backend": {"type": "disk"}}]}]}]})",
         "ports[0].buses[0].units[0].inquiry.revision: text longer than 4 characters"},
        {R"({"ports": [{"buses": [{"units": [{"target": 0, "lun": 0, "inquiry": {"vendor": "caf\u00e9"}, "backend": {"type": "disk"}}]}]}]})",
         "ports[0].buses[0].units[0].inquiry.vendor: text must be ASCII"},
        {R"({"ports": [{"buses": [{"units": [{"target": 0, "lun": 0, "access": "write-only", "backend": {"type": "disk"}}]}]}]})",
         "ports[0].buses[0].units[0].access: expected \"read-write\", \"read-only\" or \"none\""},
        {R"({"ports": [{"buses": [{"units": [{"target": 0, "lun": 0, "drive": "E", "backend": {"type": "disk"}}]}]}]})",
         "ports[0].buses[0].units[0].drive: a drive letter needs a cdrom backend"},
        {R"({"ports": [{"buses": [{"units": [{"target": 0, "lun": 0, "drive": "EF", "backend": {"type": "cdrom"}}]}]}]})",
         "ports[0].buses[0].units[0].drive: expected a drive letter such as \"E\""},
        {R"({"ports": [{"buses": [{"units": [
              {"target": 0, "lun": 0, "class_device": "CdRom0", "backend": {"type": "cdrom"}},
              {"target": 1, "lun": 0, "class_device": "cdrom0", "backend": {"type": "cdrom"}}]}]}]})",
         "ports[0].buses[0].units[1].class_device: class device 'cdrom0' declared twice (also at "
         "ports[0].buses[0].units[0].class_device)"},
        {R"({"ports": [{"buses": [{"units": [
              {"target": 0, "lun": 0, "drive": "e", "backend": {"type": "cdrom"}}]}]},
              {"buses": [{"units": [{"target": 0, "lun": 0, "drive": "E", "backend": {"type": "cdrom"}}]}]}]})",
         "ports[1].buses[0].units[0].drive: drive letter E declared twice (also at "
         "ports[0].buses[0].units[0].drive)"},
        {R"({"ports": [{"buses": [{"units": [
              {"target": 0, "lun": 0, "drive": "E", "backend": {"type": "cdrom"}}]}]}],
             "drives": [{"letter": "e", "type": "cdrom"}]})",
         "drives[0].letter: drive letter E declared twice (also at ports[0].buses[0].units[0].drive)"},
        {R"({"drives": [{"letter": "C"}, {"letter": "c", "type": "remote"}]})",
         "drives[1].letter: drive letter C declared twice (also at drives[0].letter)"},
        {R"({"drives": [{"type": "fixed"}]})", "drives[0].letter: required member missing"},
        {R"({"drives": [{"letter": "C", "type": "floppy"}]})",
         "drives[0].type: expected \"fixed\", \"removable\", \"remote\", \"cdrom\" or \"ramdisk\""},
        {R"({"drives": [{"letter": "1"}]})", "drives[0].letter: expected a drive letter such as \"E\""},
        {R"({"ports": [{"driver": "hba"}, {"driver": "HBA", "service": false}]})",
         "ports[1].service: driver 'HBA' is described differently at ports[0]"},
        {R"({"ports": [{"driver": "hba"}, {"driver": "hba", "image_path": "hba.sys"}]})",
         "ports[1].image_path: driver 'hba' is described differently at ports[0]"},
        {R"({"ports": [{}, {"image_path": null}]})",
         "ports[1].image_path: driver 'hba' is described differently at ports[0]"},
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
        {R"({"registry": [{"key": "A", "value": "v", "data": "\u00fc"}]})",
         "registry[0].data: text must be ASCII"},
        {R"({"registry": [{"key": "A", "value": "v", "data": "a\u0000b"}]})",
         "registry[0].data: text must be ASCII"},
        {R"({"registry": [{"key": "A", "value": "v", "delete": true, "data": "x"}]})",
         "registry[0].data: not allowed when deleting a value"},
        {R"({"registry": [{"key": "HKEY_LOCAL_MACHINE", "delete": true}]})",
         "registry[0].key: HKEY_LOCAL_MACHINE itself cannot be deleted"},
        {R"({"registry": [{"key": "A", "remove": true}]})", "registry[0]: unknown member 'remove'"},
        {R"({"ports": [{"buses": [{"units": [{"target": 0, "target": 1, "lun": 0, "backend": {"type": "disk"}}]}]}]})",
         "ports[0].buses[0].units[0]: member 'target' appears twice"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(ErrorOf(c.text), c.message);
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
    EXPECT_NE(ErrorOf("").find("malformed JSON"), std::string::npos);
    EXPECT_NE(ErrorOf("{} {}").find("malformed JSON"), std::string::npos);
    EXPECT_NE(ErrorOf("{\"name\": \"x\" /* comment */}").find("malformed JSON"), std::string::npos);
}

TEST(MachineFile, RelativePathsMeanBesideTheFile) {
    Machine machine;
    std::string error;
    ASSERT_TRUE(sim::LoadMachineFile(MachinePath("every_member.json"), machine, error)) << error;
    EXPECT_EQ(machine.ports[0].buses[0].units[0].backend.file,
              std::string(PTASPI_SOURCE_DIR) + "/tests/machines/images/disk.img");
    EXPECT_EQ(machine.ports[0].buses[0].units[1].backend.image, "/tmp/absolute.iso");
    // Parsed from text there is no file to be beside: paths stay as written.
    Machine parsed = Parse(OneUnit(R"({"target": 0, "lun": 0, "backend": {"type": "disk", "file": "d.img"}})"));
    EXPECT_EQ(parsed.ports[0].buses[0].units[0].backend.file, "d.img");
}

TEST(MachineFile, LoadNamesTheFile) {
    Machine machine;
    std::string error;
    const std::string missing = MachinePath("no_such_machine.json");
    EXPECT_FALSE(sim::LoadMachineFile(missing, machine, error));
    EXPECT_EQ(error.rfind(missing + ": ", 0), 0u) << error;
    EXPECT_FALSE(sim::LoadMachineFile(MachinePath("bad_member.json"), machine, error));
    EXPECT_EQ(error, MachinePath("bad_member.json") +
                         ": ports[0].buses[0].units[1]: unknown member 'devcie'");
}

TEST(MachineFile, TwoUnitsAtOneAddressAreAllowed) {
    Machine machine = Parse(OneUnit(R"({"target": 3, "lun": 0, "backend": {"type": "disk"}},
                                       {"target": 3, "lun": 0, "backend": {"type": "tape"}})"));
    ASSERT_EQ(machine.ports[0].buses[0].units.size(), 2u);
    EXPECT_EQ(machine.ports[0].buses[0].units[1].backend.type, BackendType::Tape);
}

TEST(MachineFile, DefaultMachineMatchesItsFile) {
    EXPECT_NE(std::strstr(sim::DefaultMachineText(), "ptaspi default workstation"), nullptr);
    Machine builtIn = sim::DefaultMachine();
    Machine fromFile;
    std::string error;
    ASSERT_TRUE(sim::LoadMachineFile(std::string(PTASPI_SOURCE_DIR) + "/machines/default.json",
                                     fromFile, error))
        << error;
    EXPECT_EQ(builtIn.name, "ptaspi default workstation");
    ASSERT_EQ(builtIn.ports.size(), 3u);
    ASSERT_EQ(fromFile.ports.size(), builtIn.ports.size());
    EXPECT_EQ(builtIn.ports[0].driver, std::optional<std::string>("atapi"));
    EXPECT_EQ(builtIn.ports[0].imagePath, std::optional<std::string>("System32\\DRIVERS\\atapi.sys"));
    EXPECT_EQ(builtIn.ports[0].capabilities.MaximumTransferLength, 131072u);
    EXPECT_FALSE(builtIn.ports[0].buses[0].initiatorId.has_value());
    EXPECT_EQ(builtIn.ports[1].capabilities.AlignmentMask, 3u);
    EXPECT_EQ(builtIn.ports[2].buses.size(), 2u);
    EXPECT_EQ(builtIn.ports[0].buses[0].units[1].drive, std::optional<char>('D'));
    EXPECT_EQ(builtIn.ports[1].buses[0].units[1].backend.type, BackendType::Processor);
    EXPECT_FALSE(builtIn.ports[1].buses[0].units[1].claimed);
    EXPECT_EQ(builtIn.ports[1].buses[0].units[3].inquiry.product, "DAT-24 DDS3     ");
    for (size_t p = 0; p < builtIn.ports.size(); ++p) {
        ASSERT_EQ(builtIn.ports[p].buses.size(), fromFile.ports[p].buses.size());
        for (size_t b = 0; b < builtIn.ports[p].buses.size(); ++b) {
            const auto& units = builtIn.ports[p].buses[b].units;
            const auto& fileUnits = fromFile.ports[p].buses[b].units;
            ASSERT_EQ(units.size(), fileUnits.size());
            for (size_t u = 0; u < units.size(); ++u) {
                EXPECT_EQ(units[u].target, fileUnits[u].target);
                EXPECT_EQ(units[u].classDevice, fileUnits[u].classDevice);
                EXPECT_EQ(units[u].inquiry.vendor + units[u].inquiry.product,
                          fileUnits[u].inquiry.vendor + fileUnits[u].inquiry.product);
            }
        }
    }
    ASSERT_EQ(builtIn.drives.size(), 1u);
    EXPECT_EQ(builtIn.drives[0].letter, 'C');
}

}  // namespace
