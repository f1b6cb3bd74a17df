// Building the simulated registry: the SCSI device map and driver service
// keys that a machine's ports imply, then the machine's own edits.
#include "sim/registry/registry.h"

#include "sim/registry/registry_tree.h"

#include <cstdio>
#include <cstring>

namespace sim {
namespace {

using namespace registry;

// Returns the bytes of a text value as stored: the text and its NUL.
std::vector<BYTE> TextData(const std::string& text) {
    std::vector<BYTE> data(text.begin(), text.end());
    data.push_back(0);
    return data;
}

// Returns the path without a leading "HKEY_LOCAL_MACHINE\".
std::string RelativeToRoot(const std::string& path) {
    static const char rootName[] = "HKEY_LOCAL_MACHINE";
    const size_t length = sizeof(rootName) - 1;
    if (Fold(path.substr(0, length)) != rootName) return path;
    if (path.size() == length) return std::string();
    if (path[length] == '\\') return path.substr(length + 1);
    return path;
}

// Returns nothing; applies one edit with the lock held. Deleting what is
// not there changes nothing.
void ApplyEditLocked(RegistryState& state, const RegistryEdit& edit) {
    const std::string path = RelativeToRoot(edit.key);
    switch (edit.kind) {
    case RegistryEdit::Kind::CreateKey:
        CreateKey(state, path);
        return;
    case RegistryEdit::Kind::SetValue: {
        std::shared_ptr<RegKey> key = CreateKey(state, path);
        if (key) SetValue(*key, edit.value, edit.type, edit.data);
        return;
    }
    case RegistryEdit::Kind::DeleteValue: {
        std::shared_ptr<RegKey> key = FindKey(state.root, path);
        if (!key) return;
        const std::string folded = Fold(edit.value);
        for (auto it = key->values.begin(); it != key->values.end(); ++it) {
            if (Fold(it->name) == folded) {
                key->values.erase(it);
                return;
            }
        }
        return;
    }
    case RegistryEdit::Kind::DeleteKey: {
        bool valid = true;
        std::vector<std::string> parts = SplitPath(path, valid);
        if (!valid || parts.empty()) return;
        const std::string leaf = parts.back();
        parts.pop_back();
        std::string parentPath;
        for (const std::string& part : parts) parentPath += (parentPath.empty() ? "" : "\\") + part;
        std::shared_ptr<RegKey> parent = FindKey(state.root, parentPath);
        if (!parent) return;
        auto found = parent->children.find(Fold(leaf));
        if (found == parent->children.end()) return;
        Empty(*found->second);
        parent->children.erase(found);
        return;
    }
    }
}

// Returns the peripheral type's name in the SCSI device map.
const char* PeripheralTypeName(uint8_t peripheral) {
    switch (peripheral & 0x1F) {
    case 0x00: return "DiskPeripheral";
    case 0x01: return "TapePeripheral";
    case 0x05: return "CdRomPeripheral";
    case 0x06: return "ScannerPeripheral";
    default: return "OtherPeripheral";
    }
}

// Returns nothing; adds the device map keys of one bus.
void GenerateBus(RegistryState& state, const std::string& busPath, const BusConfig& bus) {
    CreateKey(state, busPath);
    if (bus.initiatorId) {
        CreateKey(state, busPath + "\\Initiator Id " + std::to_string(*bus.initiatorId));
    }
    for (const std::string& name : bus.extraSubkeys) CreateKey(state, busPath + "\\" + name);
    for (const UnitConfig& unit : bus.units) {
        if (!unit.registry) continue;
        const std::string unitPath = busPath + "\\Target Id " + std::to_string(unit.target) +
                                     "\\Logical Unit Id " + std::to_string(unit.lun);
        // Two units at one address: the first one's identity stays, as
        // routing also reaches the first.
        if (FindKey(state.root, unitPath)) continue;
        std::shared_ptr<RegKey> key = CreateKey(state, unitPath);
        if (!key) continue;
        const InquiryConfig& inquiry = unit.inquiry;
        SetValue(*key, "Identifier", REG_SZ,
                 TextData(inquiry.vendor + inquiry.product + inquiry.revision));
        SetValue(*key, "Type", REG_SZ, TextData(PeripheralTypeName(inquiry.peripheral)));
    }
}

// Returns nothing; fills the empty registry with what the machine's ports
// put there.
void Generate(RegistryState& state, const Machine& machine) {
    for (size_t p = 0; p < machine.ports.size(); ++p) {
        const PortConfig& port = machine.ports[p];
        if (port.deviceMap) {
            const std::string portPath = "HARDWARE\\DEVICEMAP\\Scsi\\Scsi Port " + std::to_string(p);
            std::shared_ptr<RegKey> key = CreateKey(state, portPath);
            if (key && port.driver) SetValue(*key, "Driver", REG_SZ, TextData(*port.driver));
            for (size_t b = 0; b < port.buses.size(); ++b) {
                if (!port.buses[b].deviceMap) continue;
                GenerateBus(state, portPath + "\\Scsi Bus " + std::to_string(b), port.buses[b]);
            }
        }
        if (port.driver && port.service) {
            const std::string servicePath = "SYSTEM\\CurrentControlSet\\Services\\" + *port.driver;
            if (FindKey(state.root, servicePath)) continue;
            std::shared_ptr<RegKey> key = CreateKey(state, servicePath);
            if (key && port.imagePath) {
                SetValue(*key, "ImagePath", REG_EXPAND_SZ, TextData(*port.imagePath));
            }
        }
    }
}

// Returns nothing; puts an empty tree in place, emptying the old one for
// the handles that still point into it.
void ReplaceRoot(RegistryState& state) {
    Empty(*state.root);
    state.root = std::make_shared<RegKey>();
}

// Returns nothing; appends the key's lines and its subtree's to `out`.
void DumpKey(const RegKey& key, const std::string& path, std::string& out) {
    if (!path.empty()) out += path + "\n";
    for (const RegValue& value : key.values) {
        out += "  " + (value.name.empty() ? std::string("(default)") : value.name) + " = ";
        const bool text = value.type == REG_SZ || value.type == REG_EXPAND_SZ;
        if (text && !value.data.empty() && value.data.back() == 0 &&
            std::memchr(value.data.data(), 0, value.data.size() - 1) == nullptr) {
            out += value.type == REG_SZ ? "REG_SZ \"" : "REG_EXPAND_SZ \"";
            out.append(value.data.begin(), value.data.end() - 1);
            out += "\"";
        } else if (value.type == REG_DWORD && value.data.size() == 4) {
            char number[16];
            const unsigned long dword = static_cast<unsigned long>(value.data[0]) |
                                        (static_cast<unsigned long>(value.data[1]) << 8) |
                                        (static_cast<unsigned long>(value.data[2]) << 16) |
                                        (static_cast<unsigned long>(value.data[3]) << 24);
            std::snprintf(number, sizeof(number), "0x%08lX", dword);
            out += std::string("REG_DWORD ") + number;
        } else {
            out += "type " + std::to_string(value.type) + ":";
            for (BYTE byte : value.data) {
                char hex[4];
                std::snprintf(hex, sizeof(hex), " %02X", static_cast<unsigned>(byte));
                out += hex;
            }
        }
        out += "\n";
    }
    for (const auto& child : key.children) {
        DumpKey(*child.second, path.empty() ? child.second->name : path + "\\" + child.second->name,
                out);
    }
}

}  // namespace

void BuildRegistry(const Machine& machine) {
    RegistryState& state = State();
    std::lock_guard<std::mutex> guard(state.lock);
    ReplaceRoot(state);
    Generate(state, machine);
    for (const RegistryEdit& edit : machine.registry) ApplyEditLocked(state, edit);
}

void ClearRegistry() {
    RegistryState& state = State();
    std::lock_guard<std::mutex> guard(state.lock);
    ReplaceRoot(state);
}

void ApplyRegistryEdit(const RegistryEdit& edit) {
    RegistryState& state = State();
    std::lock_guard<std::mutex> guard(state.lock);
    ApplyEditLocked(state, edit);
}

std::string RegistryDump() {
    RegistryState& state = State();
    std::lock_guard<std::mutex> guard(state.lock);
    std::string out;
    DumpKey(*state.root, std::string(), out);
    return out;
}

}  // namespace sim
