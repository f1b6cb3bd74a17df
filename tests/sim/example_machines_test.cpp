// The machine files shipped in machines/: each one loads and installs, so
// that an example that has gone stale with the format fails here, by name.
#include "sim/sim.h"

#include <gtest/gtest.h>

#include <dirent.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

// Returns the paths of every .json file in machines/, sorted.
std::vector<std::string> ExampleMachines() {
    const std::string folder = std::string(PTASPI_SOURCE_DIR) + "/machines";
    std::vector<std::string> paths;
    DIR* directory = opendir(folder.c_str());
    if (directory == nullptr) return paths;
    while (const dirent* entry = readdir(directory)) {
        const std::string name = entry->d_name;
        if (name.size() > 5 && name.compare(name.size() - 5, 5, ".json") == 0) {
            paths.push_back(folder + "/" + name);
        }
    }
    closedir(directory);
    std::sort(paths.begin(), paths.end());
    return paths;
}

TEST(ExampleMachines, EveryFileLoadsAndInstalls) {
    const std::vector<std::string> paths = ExampleMachines();
    ASSERT_GT(paths.size(), 1u) << "no example machines found beside default.json";
    for (const std::string& path : paths) {
        sim::Machine machine;
        std::string error;
        if (!sim::LoadMachineFile(path, machine, error)) {
            ADD_FAILURE() << error;  // the message starts with the path
            continue;
        }
        EXPECT_FALSE(machine.name.empty()) << path << ": a machine file explains itself in its name";
        EXPECT_TRUE(sim::InstallMachine(machine, error)) << path << ": " << error;
    }
    sim::UninstallMachine();
}

}  // namespace
