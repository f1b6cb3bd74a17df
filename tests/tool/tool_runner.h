// Runs the built aspitool as a person or a script would, and the file
// helpers its tests share.
#ifndef PTASPI_TESTS_TOOL_TOOL_RUNNER_H
#define PTASPI_TESTS_TOOL_TOOL_RUNNER_H

#include <nlohmann/json.hpp>

#include <cstdint>
#include <string>
#include <vector>

namespace tooltest {

struct ToolRun {
    int exitCode = -1;  // -1 when the tool did not end normally
    std::string out;
    std::string err;
    // Returns the standard output parsed as JSON (discarded when it is none).
    nlohmann::json Json() const { return nlohmann::json::parse(out, nullptr, false); }
};

// Returns the outcome of running aspitool with `args`: the Linux build, or
// with PTASPI_TOOL_PROGRAM set, that Windows aspitool.exe under ntrun.
ToolRun RunTool(const std::vector<std::string>& args);
// Returns the outcome of running the Linux build of aspitool with `args`,
// on its own library whatever the environment says.
ToolRun RunLinuxTool(const std::vector<std::string>& args);
// Returns the outcome of running the Windows program `exe` (aspitool.exe)
// under ntrun with aspitool's `args`: --machine goes to ntrun, and the
// program's "\r\n" line ends come back as "\n" (a bare "\n" from it, which
// text-mode streams never write, fails the calling test).
ToolRun RunWindowsProgram(const std::string& exe, const std::vector<std::string>& args);
// Returns true when RunTool runs the Windows aspitool.exe, which knows
// nothing of the simulated machine: no machine name, no platform record.
bool RunsWindowsProgram();
// Returns `text` without what is said about the simulated machine (its
// name, the warnings about its file, why a unit cannot be reached), which
// the Linux client says and, for the Windows program, ntrun.
std::string WithoutMachineNotes(const std::string& text);

// Returns every machine the suite knows, sorted: the built-in default
// (""), then the files of machines/ and tests/machines/.
std::vector<std::string> AllMachines();
// Returns the path of tests/machines/<name>.
std::string MachinePath(const std::string& name);
// Returns a fresh empty folder for one test's files.
std::string MakeTempFolder();
// Returns the bytes of the file at `path` (empty when it cannot be read).
std::vector<uint8_t> ReadFile(const std::string& path);
// Returns true when `bytes` were written to a new file at `path`.
bool WriteFile(const std::string& path, const std::vector<uint8_t>& bytes);
// Returns `count` bytes of a pattern that differs in every block of
// `blockSize` bytes, starting from `seed`.
std::vector<uint8_t> Pattern(size_t count, size_t blockSize, uint8_t seed);
// Returns the bytes of a hex string as the tool prints them.
std::vector<uint8_t> FromHex(const std::string& hex);

}  // namespace tooltest

#endif
