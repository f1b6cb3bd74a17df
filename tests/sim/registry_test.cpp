// The simulated registry: return codes of the four functions, enumeration
// order, the tree generated from a machine, and the machine's edits.
#include "sim/registry/registry.h"

#include "sim/kernel/faults.h"
#include "sim/sim.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

class Registry : public ::testing::Test {
protected:
    void SetUp() override {
        sim::ClearFaults();
        sim::ClearRegistry();
        keysAtStart_ = sim::OpenRegistryKeyCount();
    }
    void TearDown() override {
        for (HKEY key : opened_) RegCloseKey(key);
        EXPECT_EQ(sim::OpenRegistryKeyCount(), keysAtStart_);
        sim::ClearFaults();
        sim::ClearRegistry();
    }

    // Returns the open key at `path` (closed at the end of the test), or
    // null with the test failed.
    HKEY Open(const char* path, HKEY from = HKEY_LOCAL_MACHINE) {
        HKEY key = nullptr;
        const LONG result = RegOpenKeyExA(from, path, 0, KEY_READ, &key);
        EXPECT_EQ(result, ERROR_SUCCESS) << path;
        if (result == ERROR_SUCCESS) opened_.push_back(key);
        return key;
    }

    // Returns the code with which opening `path` fails (0 when it opens).
    LONG OpenCode(const char* path, HKEY from = HKEY_LOCAL_MACHINE) {
        HKEY key = reinterpret_cast<HKEY>(0x1234);
        const LONG result = RegOpenKeyExA(from, path, 0, KEY_READ, &key);
        if (result == ERROR_SUCCESS) {
            RegCloseKey(key);
        } else {
            EXPECT_EQ(key, nullptr);
        }
        return result;
    }

    size_t keysAtStart_ = 0;
    std::vector<HKEY> opened_;
};

// Returns nothing; applies an edit that creates `key`, or sets its value
// `name` to `data` when a name is given.
void Edit(const std::string& key, const char* name = nullptr, const std::string& data = "",
          DWORD type = REG_SZ) {
    sim::RegistryEdit edit;
    edit.key = key;
    if (name != nullptr) {
        edit.kind = sim::RegistryEdit::Kind::SetValue;
        edit.value = name;
        edit.type = type;
        edit.data.assign(data.begin(), data.end());
        if (type != REG_DWORD) edit.data.push_back(0);
    }
    sim::ApplyRegistryEdit(edit);
}

// Returns the subkey names of `key` in enumeration order.
std::vector<std::string> Names(HKEY key) {
    std::vector<std::string> names;
    for (DWORD index = 0;; ++index) {
        char name[128];
        DWORD size = sizeof(name);
        const LONG result = RegEnumKeyExA(key, index, name, &size, nullptr, nullptr, nullptr, nullptr);
        if (result != ERROR_SUCCESS) {
            EXPECT_EQ(result, ERROR_NO_MORE_ITEMS);
            break;
        }
        EXPECT_EQ(size, std::strlen(name));
        names.push_back(name);
    }
    return names;
}

// Returns the text of a value ("<code N>" when the query fails).
std::string Text(HKEY key, const char* name, DWORD* type = nullptr) {
    char buffer[256];
    DWORD size = sizeof(buffer);
    const LONG result = RegQueryValueExA(key, name, nullptr, type, reinterpret_cast<BYTE*>(buffer), &size);
    if (result != ERROR_SUCCESS) return "<code " + std::to_string(result) + ">";
    EXPECT_GT(size, 0u);
    EXPECT_EQ(buffer[size - 1], '\0');
    return std::string(buffer, size - 1);
}

sim::Machine ParseOrFail(const char* text) {
    sim::Machine machine;
    std::string error;
    EXPECT_TRUE(sim::ParseMachine(text, machine, error)) << error;
    return machine;
}

TEST_F(Registry, OpenReturnsTheWin32Codes) {
    Edit("HARDWARE\\DEVICEMAP\\Scsi");
    EXPECT_EQ(OpenCode("HARDWARE\\DEVICEMAP\\Scsi"), ERROR_SUCCESS);
    EXPECT_EQ(OpenCode("hardware\\devicemap\\SCSI"), ERROR_SUCCESS);
    EXPECT_EQ(OpenCode("HARDWARE\\DEVICEMAP\\Scsi\\"), ERROR_SUCCESS);
    EXPECT_EQ(OpenCode("HARDWARE\\DEVICEMAP\\Scsi\\Scsi Port 0"), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(OpenCode("HARDWARE\\DEVICEMAP\\Scs"), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(OpenCode("HARDWARE\\\\DEVICEMAP"), ERROR_FILE_NOT_FOUND);
    // The root's name belongs to the file format, not to the API.
    EXPECT_EQ(OpenCode("HKEY_LOCAL_MACHINE\\HARDWARE"), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(OpenCode("\\HARDWARE"), 161);
    EXPECT_EQ(OpenCode("HARDWARE", HKEY_CURRENT_USER), ERROR_INVALID_HANDLE);
    EXPECT_EQ(OpenCode("HARDWARE", reinterpret_cast<HKEY>(0x5678)), ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE", 0, KEY_READ, nullptr),
              ERROR_INVALID_PARAMETER);

    HKEY map = Open("HARDWARE\\DEVICEMAP");
    EXPECT_EQ(OpenCode("Scsi", map), ERROR_SUCCESS);
    EXPECT_EQ(OpenCode("HARDWARE", map), ERROR_FILE_NOT_FOUND);
    // NULL and "" open the same key anew: a second handle that works alone.
    HKEY again = Open(nullptr, map);
    HKEY third = Open("", map);
    ASSERT_NE(again, map);
    ASSERT_NE(third, again);
    EXPECT_EQ(Names(again), std::vector<std::string>{"Scsi"});
    EXPECT_EQ(Names(third), std::vector<std::string>{"Scsi"});
    HKEY root = Open(nullptr);
    EXPECT_EQ(Names(root), std::vector<std::string>{"HARDWARE"});
}

TEST_F(Registry, HandlesAreCountedAndClosedOnce) {
    Edit("SOFTWARE");
    const size_t before = sim::OpenRegistryKeyCount();
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE", 0, KEY_READ, &key), ERROR_SUCCESS);
    EXPECT_EQ(sim::OpenRegistryKeyCount(), before + 1);
    EXPECT_EQ(OpenCode("Missing"), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(sim::OpenRegistryKeyCount(), before + 1);
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
    EXPECT_EQ(sim::OpenRegistryKeyCount(), before);
    EXPECT_EQ(RegCloseKey(key), ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegCloseKey(nullptr), ERROR_INVALID_HANDLE);
    char name[16];
    DWORD size = sizeof(name);
    EXPECT_EQ(RegEnumKeyExA(key, 0, name, &size, nullptr, nullptr, nullptr, nullptr),
              ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegQueryValueExA(key, "x", nullptr, nullptr, nullptr, nullptr), ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegCloseKey(HKEY_LOCAL_MACHINE), ERROR_SUCCESS);
}

TEST_F(Registry, EnumeratesInUpperCasedNameOrder) {
    for (const char* name : {"Target Id 9", "b", "_under", "Target Id 10", "A", "a2", "Initiator Id 7",
                             "target id 1", "[bracket"}) {
        Edit(std::string("Bus\\") + name);
    }
    // Creating an existing key in another case changes nothing.
    Edit("Bus\\TARGET ID 9");
    HKEY bus = Open("Bus");
    // Upper-cased, '_' (0x5F) and '[' (0x5B) sort after the letters; "10" before "9" as text.
    const std::vector<std::string> expected = {"A",           "a2",          "b",
                                               "Initiator Id 7", "target id 1", "Target Id 10",
                                               "Target Id 9", "[bracket",    "_under"};
    EXPECT_EQ(Names(bus), expected);
}

TEST_F(Registry, EnumerationNeedsRoomForTheNul) {
    Edit("Bus\\Target Id 12");  // 12 characters
    Edit("Bus\\Z");
    HKEY bus = Open("Bus");
    char name[32];
    char klass[8];
    DWORD size = 12;
    std::memset(name, 'x', sizeof(name));
    EXPECT_EQ(RegEnumKeyExA(bus, 0, name, &size, nullptr, nullptr, nullptr, nullptr), ERROR_MORE_DATA);
    EXPECT_EQ(name[0], 'x');
    size = 13;
    FILETIME written = {0, 0};
    DWORD classSize = sizeof(klass);
    std::memset(klass, 'x', sizeof(klass));
    ASSERT_EQ(RegEnumKeyExA(bus, 0, name, &size, nullptr, klass, &classSize, &written), ERROR_SUCCESS);
    EXPECT_STREQ(name, "Target Id 12");
    EXPECT_EQ(size, 12u);
    EXPECT_EQ(klass[0], '\0');
    EXPECT_EQ(classSize, 0u);
    EXPECT_NE(written.dwHighDateTime, 0u);
    // The class follows the same rule: an empty class needs one character.
    size = sizeof(name);
    classSize = 0;
    EXPECT_EQ(RegEnumKeyExA(bus, 1, name, &size, nullptr, klass, &classSize, nullptr), ERROR_MORE_DATA);
    size = 1;
    EXPECT_EQ(RegEnumKeyExA(bus, 1, name, &size, nullptr, nullptr, nullptr, nullptr), ERROR_MORE_DATA);
    size = 2;
    ASSERT_EQ(RegEnumKeyExA(bus, 1, name, &size, nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
    EXPECT_STREQ(name, "Z");
    EXPECT_EQ(size, 1u);
    size = sizeof(name);
    EXPECT_EQ(RegEnumKeyExA(bus, 2, name, &size, nullptr, nullptr, nullptr, nullptr), ERROR_NO_MORE_ITEMS);
    EXPECT_EQ(RegEnumKeyExA(bus, 0xFFFFFFFF, name, &size, nullptr, nullptr, nullptr, nullptr),
              ERROR_NO_MORE_ITEMS);
    EXPECT_EQ(RegEnumKeyExA(bus, 0, nullptr, &size, nullptr, nullptr, nullptr, nullptr),
              ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegEnumKeyExA(bus, 0, name, &size, nullptr, klass, nullptr, nullptr),
              ERROR_INVALID_PARAMETER);
    HKEY empty = Open("Bus\\Z");
    EXPECT_EQ(RegEnumKeyExA(empty, 0, name, &size, nullptr, nullptr, nullptr, nullptr),
              ERROR_NO_MORE_ITEMS);
}

TEST_F(Registry, QueryValueSizesAndTypes) {
    Edit("Port", "Driver", "atapi");  // 6 bytes with the NUL
    Edit("Port", "", "default text");
    Edit("Port", "Count", std::string("\x10\0\0\0", 4), REG_DWORD);
    HKEY port = Open("Port");

    DWORD type = 99;
    DWORD size = 0;
    EXPECT_EQ(RegQueryValueExA(port, "driver", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(size, 6u);
    EXPECT_EQ(type, REG_SZ);
    EXPECT_EQ(RegQueryValueExA(port, "DRIVER", nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);

    char buffer[16];
    std::memset(buffer, 'x', sizeof(buffer));
    size = 5;
    type = 99;
    EXPECT_EQ(RegQueryValueExA(port, "Driver", nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size),
              ERROR_MORE_DATA);
    EXPECT_EQ(size, 6u);
    EXPECT_EQ(buffer[0], 'x');
    size = 6;
    ASSERT_EQ(RegQueryValueExA(port, "Driver", nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size),
              ERROR_SUCCESS);
    EXPECT_STREQ(buffer, "atapi");
    EXPECT_EQ(size, 6u);
    EXPECT_EQ(buffer[6], 'x');

    EXPECT_EQ(Text(port, nullptr), "default text");
    EXPECT_EQ(Text(port, ""), "default text");
    EXPECT_EQ(Text(port, "Missing"), "<code 2>");

    DWORD count = 0;
    size = sizeof(count);
    ASSERT_EQ(RegQueryValueExA(port, "Count", nullptr, &type, reinterpret_cast<BYTE*>(&count), &size),
              ERROR_SUCCESS);
    EXPECT_EQ(type, REG_DWORD);
    EXPECT_EQ(count, 16u);
    DWORD reserved = 0;
    EXPECT_EQ(RegQueryValueExA(port, "Count", &reserved, nullptr, nullptr, nullptr), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegQueryValueExA(port, "Count", nullptr, nullptr, reinterpret_cast<BYTE*>(&count), nullptr),
              ERROR_INVALID_PARAMETER);
    // The root holds no default value.
    EXPECT_EQ(RegQueryValueExA(HKEY_LOCAL_MACHINE, nullptr, nullptr, nullptr, nullptr, nullptr),
              ERROR_FILE_NOT_FOUND);
}

TEST_F(Registry, FaultsComeFirstAndLastErrorIsLeftAlone) {
    Edit("SYSTEM\\CurrentControlSet\\Services\\hba", "ImagePath", "hba.sys", REG_EXPAND_SZ);
    Edit("SYSTEM\\CurrentControlSet\\Services\\hba\\Enum");
    SetLastError(4321);
    sim::FailCall(sim::Call::RegOpenKeyExA, 1, ERROR_ACCESS_DENIED, 1,
                  "system\\currentcontrolset\\services\\HBA");
    EXPECT_EQ(OpenCode("SYSTEM"), ERROR_SUCCESS);
    EXPECT_EQ(OpenCode("SYSTEM\\CurrentControlSet\\Services\\hba"), ERROR_ACCESS_DENIED);
    EXPECT_EQ(OpenCode("SYSTEM\\CurrentControlSet\\Services\\hba"), ERROR_SUCCESS);
    // A fault wins even over an invalid handle.
    sim::FailCall(sim::Call::RegOpenKeyExA, 1, 1450);
    EXPECT_EQ(OpenCode("SYSTEM", reinterpret_cast<HKEY>(0x5678)), 1450);

    HKEY service = Open("SYSTEM\\CurrentControlSet\\Services\\hba");
    sim::FailCall(sim::Call::RegQueryValueExA, 2, ERROR_FILE_NOT_FOUND, 1, "ImagePath");
    EXPECT_EQ(Text(service, "ImagePath"), "hba.sys");
    EXPECT_EQ(Text(service, "Other"), "<code 2>");
    EXPECT_EQ(Text(service, "imagepath"), "<code 2>");
    EXPECT_EQ(Text(service, "ImagePath"), "hba.sys");

    sim::FailCall(sim::Call::RegEnumKeyExA, 1, ERROR_MORE_DATA);
    char name[128];
    DWORD size = sizeof(name);
    EXPECT_EQ(RegEnumKeyExA(service, 0, name, &size, nullptr, nullptr, nullptr, nullptr), ERROR_MORE_DATA);
    EXPECT_EQ(Names(service), std::vector<std::string>{"Enum"});
    EXPECT_EQ(GetLastError(), 4321u);
}

TEST_F(Registry, GeneratesTheDeviceMapAndServices) {
    const sim::Machine machine = ParseOrFail(R"({
      "ports": [
        {"driver": "atapi", "buses": [
          {"initiator_id": null, "units": [
            {"target": 0, "lun": 0, "inquiry": {"vendor": "NORDWIND", "product": "ND-8400 ATA DISK",
                                                "revision": "2.31"}, "backend": {"type": "disk"}},
            {"target": 1, "lun": 0, "backend": {"type": "cdrom"}}]}]},
        {"device_map": false, "driver": "quiet", "buses": [{"units": [
            {"target": 0, "lun": 0, "backend": {"type": "disk"}}]}]},
        {"driver": "hba", "buses": [
          {"initiator_id": 7, "extra_subkeys": ["Control"], "units": [
            {"target": 10, "lun": 0, "backend": {"type": "tape"}},
            {"target": 9, "lun": 2, "inquiry": {"peripheral": "0x63"}, "backend": {"type": "processor"}},
            {"target": 9, "lun": 2, "backend": {"type": "scanner"}},
            {"target": 3, "lun": 0, "registry": false, "backend": {"type": "disk"}},
            {"target": 4, "lun": 1, "inquiry": {"peripheral": 6}, "backend": {"type": "scanner"}}]},
          {"device_map": false, "units": [{"target": 2, "lun": 0, "backend": {"type": "disk"}}]},
          {"initiator_id": 15}]},
        {"driver": null, "buses": [{"initiator_id": -1}]},
        {"driver": "nosvc", "service": false},
        {"driver": "noimage", "image_path": null},
        {"driver": "HBA"}
      ]})");
    sim::BuildRegistry(machine);
    const std::string expected =
        "HARDWARE\n"
        "HARDWARE\\DEVICEMAP\n"
        "HARDWARE\\DEVICEMAP\\Scsi\n"
        "HARDWARE\\DEVICEMAP\\Scsi\\Scsi Port 0\n"
        "  Driver = REG_SZ \"atapi\"\n"
        "HARDWARE\\DEVICEMAP\\Scsi\\Scsi Port 0\\Scsi Bus 0\n"
        "HARDWARE\\DEVICEMAP\\Scsi\\Scsi Port 0\\Scsi Bus 0\\Target Id 0\n"
        "HARDWARE\\DEVICEMAP\\Scsi\\Scsi Port 0\\Scsi Bus 0\\Target Id 0\\Logical Unit Id 0\n"
        "  Identifier = REG_SZ \"NORDWINDND-8400 ATA DISK2.31\"\n"
        "  Type = REG_SZ \"DiskPeripheral\"\n"
        "HARDWARE\\DEVICEMAP\\Scsi\\Scsi Port 0\\Scsi Bus 0\\Target Id 1\n"
        "HARDWARE\\DEVICEMAP\\Scsi\\Scsi Port 0\\Scsi Bus 0\\Target Id 1\\Logical Unit Id 0\n"
        "  Identifier = REG_SZ \"PTASPI  VIRTUAL CD-ROM  1.0 \"\n"
        "  Type = REG_SZ \"CdRomPeripheral\"\n"
        "HARDWARE\\DEVICEMAP\\Scsi\\Scsi Port 2\n"
        "  Driver = REG_SZ \"hba\"\n"
        "HARDWARE\\DEVICEMAP\\Scsi\\Scsi Port 2\\Scsi Bus 0\n"
        "HARDWARE\\DEVICEMAP\\Scsi\\Scsi Port 2\\Scsi Bus 0\\Control\n"
        "HARDWARE\\DEVICEMAP\\Scsi\\Scsi Port 2\\Scsi Bus 0\\Initiator Id 7\n"
        "HARDWARE\\DEVICEMAP\\Scsi\\Scsi Port 2\\Scsi Bus 0\\Target Id 10\n"
        "HARDWARE\\DEVICEMAP\\Scsi\\Scsi Port 2\\Scsi Bus 0\\Target Id 10\\Logical Unit Id 0\n"
        "  Identifier = REG_SZ \"PTASPI  VIRTUAL TAPE    1.0 \"\n"
        "  Type = REG_SZ \"TapePeripheral\"\n"
        "HARDWARE\\DEVICEMAP\\Scsi\\Scsi Port 2\\Scsi Bus 0\\Target Id 4\n"
        "HARDWARE\\DEVICEMAP\\Scsi\\Scsi Port 2\\Scsi Bus 0\\Target Id 4\\Logical Unit Id 1\n"
        "  Identifier = REG_SZ \"PTASPI  VIRTUAL SCANNER 1.0 \"\n"
        "  Type = REG_SZ \"ScannerPeripheral\"\n"
        "HARDWARE\\DEVICEMAP\\Scsi\\Scsi Port 2\\Scsi Bus 0\\Target Id 9\n"
        "HARDWARE\\DEVICEMAP\\Scsi\\Scsi Port 2\\Scsi Bus 0\\Target Id 9\\Logical Unit Id 2\n"
        "  Identifier = REG_SZ \"PTASPI  VIRTUAL PROCESS 1.0 \"\n"
        "  Type = REG_SZ \"OtherPeripheral\"\n"
        "HARDWARE\\DEVICEMAP\\Scsi\\Scsi Port 2\\Scsi Bus 2\n"
        "HARDWARE\\DEVICEMAP\\Scsi\\Scsi Port 2\\Scsi Bus 2\\Initiator Id 15\n"
        "HARDWARE\\DEVICEMAP\\Scsi\\Scsi Port 3\n"
        "HARDWARE\\DEVICEMAP\\Scsi\\Scsi Port 3\\Scsi Bus 0\n"
        "HARDWARE\\DEVICEMAP\\Scsi\\Scsi Port 3\\Scsi Bus 0\\Initiator Id -1\n"
        "HARDWARE\\DEVICEMAP\\Scsi\\Scsi Port 4\n"
        "  Driver = REG_SZ \"nosvc\"\n"
        "HARDWARE\\DEVICEMAP\\Scsi\\Scsi Port 5\n"
        "  Driver = REG_SZ \"noimage\"\n"
        "HARDWARE\\DEVICEMAP\\Scsi\\Scsi Port 6\n"
        "  Driver = REG_SZ \"HBA\"\n"
        "SYSTEM\n"
        "SYSTEM\\CurrentControlSet\n"
        "SYSTEM\\CurrentControlSet\\Services\n"
        "SYSTEM\\CurrentControlSet\\Services\\atapi\n"
        "  ImagePath = REG_EXPAND_SZ \"System32\\DRIVERS\\atapi.sys\"\n"
        "SYSTEM\\CurrentControlSet\\Services\\hba\n"
        "  ImagePath = REG_EXPAND_SZ \"System32\\DRIVERS\\hba.sys\"\n"
        "SYSTEM\\CurrentControlSet\\Services\\noimage\n"
        "SYSTEM\\CurrentControlSet\\Services\\quiet\n"
        "  ImagePath = REG_EXPAND_SZ \"System32\\DRIVERS\\quiet.sys\"\n";
    EXPECT_EQ(sim::RegistryDump(), expected);

    // Read the way the library reads it.
    HKEY service = Open("SYSTEM\\CurrentControlSet\\Services\\atapi");
    DWORD type = 0;
    EXPECT_EQ(Text(service, "ImagePath", &type), "System32\\DRIVERS\\atapi.sys");
    EXPECT_EQ(type, static_cast<DWORD>(REG_EXPAND_SZ));
}

TEST_F(Registry, PeripheralTypeNamesUseTheLowFiveBits) {
    const struct {
        const char* peripheral;
        const char* type;
    } cases[] = {{"\"0x7F\"", "OtherPeripheral"}, {"\"0x25\"", "CdRomPeripheral"},
                 {"\"0x20\"", "DiskPeripheral"},  {"\"0x1F\"", "OtherPeripheral"},
                 {"2", "OtherPeripheral"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.peripheral);
        const std::string text = std::string(R"({"ports": [{"buses": [{"units": [{"target": 0, "lun": 0,
            "inquiry": {"peripheral": )") + c.peripheral + R"(}, "backend": {"type": "scripted"}}]}]}]})";
        sim::BuildRegistry(ParseOrFail(text.c_str()));
        HKEY unit = Open("HARDWARE\\DEVICEMAP\\Scsi\\Scsi Port 0\\Scsi Bus 0\\Target Id 0\\Logical Unit Id 0");
        EXPECT_EQ(Text(unit, "Type"), c.type);
    }
}

TEST_F(Registry, AppliesTheMachineEditsInOrder) {
    const sim::Machine machine = ParseOrFail(R"({
      "ports": [{"driver": "hba", "buses": [{"units": [{"target": 1, "lun": 0, "backend": {"type": "disk"}}]}]}],
      "registry": [
        {"key": "HKEY_LOCAL_MACHINE\\HARDWARE\\DEVICEMAP\\Scsi\\Scsi Port 0", "value": "Driver", "data": "atapi"},
        {"key": "hardware\\devicemap\\scsi\\scsi port 0\\scsi bus 0\\Target Id 1", "delete": true},
        {"key": "HARDWARE\\DEVICEMAP\\Scsi\\Scsi Port 0\\Scsi Bus 0\\Target Id 8"},
        {"key": "SYSTEM\\CurrentControlSet\\Services\\hba", "value": "ImagePath", "delete": true},
        {"key": "SYSTEM\\CurrentControlSet\\Services\\hba", "value": "Start", "type": "REG_DWORD", "data": "0x03"},
        {"key": "SOFTWARE\\New\\Deep", "value": "Blob", "type": "REG_BINARY", "data": "01 02 0a"},
        {"key": "SOFTWARE\\New\\Deep", "value": "Path", "type": "REG_EXPAND_SZ", "data": "%X%"},
        {"key": "SOFTWARE\\Removed\\Child"},
        {"key": "SOFTWARE\\Removed", "delete": true},
        {"key": "SOFTWARE\\Absent", "delete": true},
        {"key": "SOFTWARE\\Absent", "value": "v", "delete": true},
        {"key": "HKEY_LOCAL_MACHINE", "value": "AtRoot", "data": "r"}
      ]})");
    sim::BuildRegistry(machine);
    const std::string expected =
        "  AtRoot = REG_SZ \"r\"\n"
        "HARDWARE\n"
        "HARDWARE\\DEVICEMAP\n"
        "HARDWARE\\DEVICEMAP\\Scsi\n"
        "HARDWARE\\DEVICEMAP\\Scsi\\Scsi Port 0\n"
        "  Driver = REG_SZ \"atapi\"\n"
        "HARDWARE\\DEVICEMAP\\Scsi\\Scsi Port 0\\Scsi Bus 0\n"
        "HARDWARE\\DEVICEMAP\\Scsi\\Scsi Port 0\\Scsi Bus 0\\Initiator Id 7\n"
        "HARDWARE\\DEVICEMAP\\Scsi\\Scsi Port 0\\Scsi Bus 0\\Target Id 8\n"
        "SOFTWARE\n"
        "SOFTWARE\\New\n"
        "SOFTWARE\\New\\Deep\n"
        "  Blob = type 3: 01 02 0A\n"
        "  Path = REG_EXPAND_SZ \"%X%\"\n"
        "SYSTEM\n"
        "SYSTEM\\CurrentControlSet\n"
        "SYSTEM\\CurrentControlSet\\Services\n"
        "SYSTEM\\CurrentControlSet\\Services\\hba\n"
        "  Start = REG_DWORD 0x00000003\n";
    EXPECT_EQ(sim::RegistryDump(), expected);
}

TEST_F(Registry, RebuildReplacesEverythingAndOpenKeysFindNothing) {
    sim::BuildRegistry(sim::DefaultMachine());
    HKEY port = Open("HARDWARE\\DEVICEMAP\\Scsi\\Scsi Port 1");
    HKEY bus = Open("HARDWARE\\DEVICEMAP\\Scsi\\Scsi Port 1\\Scsi Bus 0");
    EXPECT_EQ(Text(port, "Driver"), "hba");
    EXPECT_EQ(Names(bus), (std::vector<std::string>{"Initiator Id 7", "Target Id 0", "Target Id 2",
                                                    "Target Id 3", "Target Id 5", "Target Id 6"}));
    HKEY atapiBus = Open("HARDWARE\\DEVICEMAP\\Scsi\\Scsi Port 0\\Scsi Bus 0");
    EXPECT_EQ(Names(atapiBus), (std::vector<std::string>{"Target Id 0", "Target Id 1"}));
    EXPECT_EQ(OpenCode("HARDWARE\\DEVICEMAP\\Scsi\\Scsi Port 2\\Scsi Bus 1\\Initiator Id 7"), ERROR_SUCCESS);
    EXPECT_EQ(OpenCode("HARDWARE\\DEVICEMAP\\Scsi\\Scsi Port 3"), ERROR_FILE_NOT_FOUND);

    // An edit deletes a subtree under an open key.
    sim::RegistryEdit remove;
    remove.kind = sim::RegistryEdit::Kind::DeleteKey;
    remove.key = "HARDWARE\\DEVICEMAP\\Scsi\\Scsi Port 1\\Scsi Bus 0";
    sim::ApplyRegistryEdit(remove);
    EXPECT_TRUE(Names(bus).empty());
    EXPECT_EQ(OpenCode("Target Id 0", bus), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(OpenCode("Scsi Bus 0", port), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(Text(port, "Driver"), "hba");

    sim::BuildRegistry(sim::Machine());
    EXPECT_EQ(sim::RegistryDump(), "");
    EXPECT_EQ(Text(port, "Driver"), "<code 2>");
    EXPECT_EQ(OpenCode(nullptr, port), ERROR_SUCCESS);
    EXPECT_EQ(OpenCode("HARDWARE"), ERROR_FILE_NOT_FOUND);
}

TEST_F(Registry, ManyThreadsAtOnce) {
    sim::BuildRegistry(sim::DefaultMachine());
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < 300; ++i) {
                if (t == 0 && i % 50 == 0) sim::BuildRegistry(sim::DefaultMachine());
                HKEY key = nullptr;
                if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\Scsi\\Scsi Port 1\\Scsi Bus 0",
                                  0, KEY_READ, &key) != ERROR_SUCCESS) {
                    continue;
                }
                char name[128];
                DWORD size = sizeof(name);
                RegEnumKeyExA(key, static_cast<DWORD>(i % 7), name, &size, nullptr, nullptr, nullptr, nullptr);
                EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
}

TEST_F(Registry, KeysShareTheProcessHandleTable) {
    Edit("SOFTWARE");
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    ASSERT_TRUE(CloseHandle(event));
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE", 0, KEY_READ, &key), ERROR_SUCCESS);
    EXPECT_EQ(reinterpret_cast<HANDLE>(key), event);  // the value closed last
    EXPECT_EQ(WaitForSingleObject(reinterpret_cast<HANDLE>(key), 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    HANDLE other = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    char name[16];
    DWORD size = sizeof(name);
    EXPECT_EQ(RegEnumKeyExA(reinterpret_cast<HKEY>(other), 0, name, &size, nullptr, nullptr,
                            nullptr, nullptr),
              ERROR_INVALID_HANDLE);
    // RegCloseKey closes a handle of any kind, as NtClose does.
    EXPECT_EQ(RegCloseKey(reinterpret_cast<HKEY>(other)), ERROR_SUCCESS);
    EXPECT_FALSE(SetEvent(other));
    EXPECT_TRUE(CloseHandle(reinterpret_cast<HANDLE>(key)));
}

TEST_F(Registry, LimitedUserOpensForReadingOnly) {
    sim::Machine machine;
    std::string error;
    ASSERT_TRUE(sim::ParseMachine(R"({"user": "limited", "ports": [{}]})", machine, error)) << error;
    ASSERT_TRUE(sim::InstallMachine(machine, error)) << error;
    struct Case {
        REGSAM access;
        LONG code;
    };
    for (const Case& c : {Case{KEY_READ, ERROR_SUCCESS}, Case{KEY_QUERY_VALUE, ERROR_SUCCESS},
                          Case{KEY_SET_VALUE, ERROR_ACCESS_DENIED},
                          Case{KEY_CREATE_SUB_KEY, ERROR_ACCESS_DENIED},
                          Case{KEY_WRITE, ERROR_ACCESS_DENIED},
                          Case{KEY_ALL_ACCESS, ERROR_ACCESS_DENIED},
                          Case{KEY_READ | GENERIC_WRITE, ERROR_ACCESS_DENIED}}) {
        HKEY key = nullptr;
        EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE", 0, c.access, &key), c.code)
            << std::hex << c.access;
        if (key != nullptr) RegCloseKey(key);
    }
    HKEY key = nullptr;
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Missing", 0, KEY_WRITE, &key),
              ERROR_FILE_NOT_FOUND);
    sim::UninstallMachine();
}

}  // namespace
