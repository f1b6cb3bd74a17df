// Internal to the simulated registry: the tree of keys, the kernel object
// that an open key's handle names, and the one mutex that guards the tree.
// Callers hold State().lock around every use of the tree.
#ifndef PTASPI_SIM_REGISTRY_TREE_H
#define PTASPI_SIM_REGISTRY_TREE_H

#include "sim/kernel/handles.h"

#include <windows.h>

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace sim {
namespace registry {

struct RegValue {
    std::string name;
    DWORD type = REG_NONE;
    std::vector<BYTE> data;
};

struct RegKey {
    std::string name;
    // Ordered by the upper-cased name, which is also the enumeration order.
    std::map<std::string, std::shared_ptr<RegKey>> children;
    std::vector<RegValue> values;  // in creation order
};

// An open key, in the process's one handle table as on NT. It holds its
// key alive; a key removed from the tree is emptied, so its handles stay
// valid to close but find nothing.
struct KeyObject : KernelObject {
    explicit KeyObject(std::shared_ptr<RegKey> key)
        : KernelObject(ObjectKind::Key), Key(std::move(key)) {}
    const std::shared_ptr<RegKey> Key;
};

struct RegistryState {
    std::mutex lock;
    std::shared_ptr<RegKey> root = std::make_shared<RegKey>();
};

// Returns the registry's one state.
RegistryState& State();
// Returns `text` with a-z upper-cased, the registry's comparison form.
std::string Fold(const std::string& text);
// Returns the components of a backslash-separated path; a trailing
// backslash is ignored. `valid` is false when a component is empty.
std::vector<std::string> SplitPath(const std::string& path, bool& valid);
// Returns nothing; empties a key removed from the tree, with its subtree,
// so that handles still open on any of its keys find nothing.
void Empty(RegKey& key);
// Returns the key at `path` below `from`, or null.
std::shared_ptr<RegKey> FindKey(const std::shared_ptr<RegKey>& from, const std::string& path);
// Returns the key at `path` below the root, created with its parents as
// needed; null when the path has an empty component.
std::shared_ptr<RegKey> CreateKey(RegistryState& state, const std::string& path);
// Returns the value named `name` (any case), or null.
RegValue* FindValue(RegKey& key, const std::string& name);
// Returns nothing; sets the value, replacing one of the same name.
void SetValue(RegKey& key, const std::string& name, DWORD type, const std::vector<BYTE>& data);

}  // namespace registry
}  // namespace sim

#endif
