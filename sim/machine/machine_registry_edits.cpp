// Registry edits of machine files: the four forms ({key}, {key, delete},
// {key, value, delete}, {key, value, type, data}) read into RegistryEdit,
// with the data stored as the registry will hold it.
#include "sim/machine/machine_reader.h"

namespace sim {
namespace reader {
namespace {

// Returns false unless `text` is a key path; stores it relative to
// HKEY_LOCAL_MACHINE, without the optional root name.
bool ReadKeyPath(const Json& value, const std::string& path, std::string& out,
                 std::string& error) {
    std::string text;
    if (!ReadTextValue(value, path, text, error)) return false;
    static const char root[] = "HKEY_LOCAL_MACHINE";
    const size_t rootLength = sizeof(root) - 1;
    if (Upper(text.substr(0, rootLength)) == root &&
        (text.size() == rootLength || text[rootLength] == '\\')) {
        text.erase(0, text.size() == rootLength ? rootLength : rootLength + 1);
    }
    if (!text.empty()) {
        size_t start = 0;
        while (true) {
            const size_t end = text.find('\\', start);
            const size_t length = (end == std::string::npos ? text.size() : end) - start;
            if (length == 0) return Fail(error, path, "empty key name in the path");
            if (end == std::string::npos) break;
            start = end + 1;
        }
    }
    out = text;
    return true;
}

}  // namespace

// Returns false unless `value` is one registry edit in one of its forms.
bool ReadRegistryEdit(const Json& value, const std::string& path, RegistryEdit& edit,
                      std::string& error) {
    if (!CheckObject(value, path, {"key", "value", "type", "data", "delete"}, error)) return false;
    const Json* key = Find(value, "key");
    if (key == nullptr) return Fail(error, Member(path, "key"), "required member missing");
    if (!ReadKeyPath(*key, Member(path, "key"), edit.key, error)) return false;
    bool remove = false;
    if (!ReadBool(value, "delete", path, remove, error)) return false;
    const Json* name = Find(value, "value");
    const Json* type = Find(value, "type");
    const Json* data = Find(value, "data");
    if (name == nullptr) {
        for (const char* member : {"type", "data"}) {
            if (Find(value, member) != nullptr) {
                return Fail(error, Member(path, member), "needs a 'value' name");
            }
        }
        if (remove && edit.key.empty()) {
            return Fail(error, Member(path, "key"), "HKEY_LOCAL_MACHINE itself cannot be deleted");
        }
        edit.kind = remove ? RegistryEdit::Kind::DeleteKey : RegistryEdit::Kind::CreateKey;
        return true;
    }
    if (!ReadTextValue(*name, Member(path, "value"), edit.value, error)) return false;
    if (remove) {
        for (const char* member : {"type", "data"}) {
            if (Find(value, member) != nullptr) {
                return Fail(error, Member(path, member), "not allowed when deleting a value");
            }
        }
        edit.kind = RegistryEdit::Kind::DeleteValue;
        return true;
    }
    edit.kind = RegistryEdit::Kind::SetValue;
    edit.type = 1;  // REG_SZ
    if (type != nullptr) {
        static const struct {
            const char* name;
            uint32_t type;
        } types[] = {{"REG_SZ", 1}, {"REG_EXPAND_SZ", 2}, {"REG_BINARY", 3}, {"REG_DWORD", 4}};
        bool known = false;
        for (const auto& entry : types) {
            if (type->is_string() && type->get_ref<const std::string&>() == entry.name) {
                edit.type = entry.type;
                known = true;
            }
        }
        if (!known) {
            return Fail(error, Member(path, "type"),
                        "expected \"REG_SZ\", \"REG_EXPAND_SZ\", \"REG_DWORD\" or \"REG_BINARY\"");
        }
    }
    if (data == nullptr) return Fail(error, Member(path, "data"), "required member missing");
    const std::string where = Member(path, "data");
    edit.data.clear();
    if (edit.type == 1 || edit.type == 2) {
        std::string text;
        if (!ReadTextValue(*data, where, text, error)) return false;
        edit.data.assign(text.begin(), text.end());
        edit.data.push_back(0);
    } else if (edit.type == 4) {
        uint64_t number = 0;
        if (!ReadUnsignedValue(*data, where, 0, UINT32_MAX, number, error)) return false;
        for (int shift = 0; shift < 32; shift += 8) {
            edit.data.push_back(static_cast<uint8_t>(number >> shift));
        }
    } else if (!ReadHexBytes(*data, where, edit.data, error)) {
        return false;
    }
    return true;
}

}  // namespace reader
}  // namespace sim
