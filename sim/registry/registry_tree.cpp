// The simulated registry's tree: keys found and created by path, values
// found and set by name, both without case.
#include "sim/registry/registry_tree.h"

namespace sim {
namespace registry {

RegistryState& State() {
    static RegistryState* state = new RegistryState;
    return *state;
}

std::string Fold(const std::string& text) {
    std::string result = text;
    for (char& c : result) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    return result;
}

std::vector<std::string> SplitPath(const std::string& path, bool& valid) {
    std::vector<std::string> parts;
    valid = true;
    if (path.empty()) return parts;
    std::string trimmed = path;
    if (trimmed.back() == '\\') trimmed.pop_back();
    size_t start = 0;
    while (true) {
        const size_t end = trimmed.find('\\', start);
        const std::string part =
            trimmed.substr(start, end == std::string::npos ? std::string::npos : end - start);
        if (part.empty()) valid = false;
        parts.push_back(part);
        if (end == std::string::npos) break;
        start = end + 1;
    }
    return parts;
}

void Empty(RegKey& key) {
    for (auto& child : key.children) Empty(*child.second);
    key.children.clear();
    key.values.clear();
}

std::shared_ptr<RegKey> FindKey(const std::shared_ptr<RegKey>& from, const std::string& path) {
    bool valid = true;
    std::vector<std::string> parts = SplitPath(path, valid);
    if (!valid) return nullptr;
    std::shared_ptr<RegKey> key = from;
    for (const std::string& part : parts) {
        auto found = key->children.find(Fold(part));
        if (found == key->children.end()) return nullptr;
        key = found->second;
    }
    return key;
}

std::shared_ptr<RegKey> CreateKey(RegistryState& state, const std::string& path) {
    bool valid = true;
    std::vector<std::string> parts = SplitPath(path, valid);
    if (!valid) return nullptr;
    std::shared_ptr<RegKey> key = state.root;
    for (const std::string& part : parts) {
        std::shared_ptr<RegKey>& child = key->children[Fold(part)];
        if (!child) {
            child = std::make_shared<RegKey>();
            child->name = part;
        }
        key = child;
    }
    return key;
}

RegValue* FindValue(RegKey& key, const std::string& name) {
    const std::string folded = Fold(name);
    for (RegValue& value : key.values) {
        if (Fold(value.name) == folded) return &value;
    }
    return nullptr;
}

void SetValue(RegKey& key, const std::string& name, DWORD type, const std::vector<BYTE>& data) {
    RegValue* value = FindValue(key, name);
    if (value == nullptr) {
        key.values.push_back(RegValue{name, type, data});
        return;
    }
    value->type = type;
    value->data = data;
}

}  // namespace registry
}  // namespace sim
