#include "tool_runner.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

extern char** environ;

namespace tooltest {
namespace {

std::string ReadText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// Returns the outcome of running `program` with `words` (argv[0] first),
// standard input empty, the outputs kept apart.
ToolRun Spawn(const std::string& program, std::vector<std::string> words) {
    ToolRun run;
    const std::string folder = MakeTempFolder();
    const std::string outPath = folder + "/stdout";
    const std::string errPath = folder + "/stderr";
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(&word[0]);
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    pid_t pid = 0;
    const int spawned = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
        run.err = "cannot start " + program;
        return run;
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
    }
    if (WIFEXITED(status)) run.exitCode = WEXITSTATUS(status);
    run.out = ReadText(outPath);
    run.err = ReadText(errPath);
    return run;
}

// Returns `text` with each "\r\n" as "\n"; a bare "\n" fails the test, since
// a Windows program's text-mode stream writes none. ntrun's own lines
// ("ntrun: ...") are the host's and end in "\n".
std::string FromTextMode(const std::string& text, const char* stream) {
    std::string lines;
    for (size_t start = 0; start < text.size();) {
        size_t end = text.find('\n', start);
        end = end == std::string::npos ? text.size() : end + 1;
        std::string line = text.substr(start, end - start);
        const bool ended = line.back() == '\n';
        if (ended && line.size() >= 2 && line[line.size() - 2] == '\r') {
            line.erase(line.size() - 2, 1);
        } else if (ended && line.compare(0, 7, "ntrun: ") != 0) {
            ADD_FAILURE() << "bare line feed at byte " << end - 1 << " of the program's " << stream;
        }
        lines += line;
        start = end;
    }
    return lines;
}

const char* WindowsProgramFromEnvironment() {
    const char* program = getenv("PTASPI_TOOL_PROGRAM");
    return program != nullptr && *program != '\0' ? program : nullptr;
}

}  // namespace

ToolRun RunLinuxTool(const std::vector<std::string>& args) {
    const std::string tool = std::string(PTASPI_BINARY_DIR) + "/tools/aspitool";
    std::vector<std::string> words = args;
    words.insert(words.begin(), tool);
    return Spawn(tool, words);
}

ToolRun RunWindowsProgram(const std::string& exe, const std::vector<std::string>& args) {
    // ntrun takes the machine; the program gets the rest, in order.
    std::vector<std::string> runner = {PTASPI_NTRUN};
    std::vector<std::string> programArgs;
    for (size_t i = 0; i < args.size(); ++i) {
        // A --machine without its file is the program's usage error.
        if (args[i] == "--machine" && i + 1 < args.size() && !args[i + 1].empty()) {
            runner.insert(runner.end(), {"--machine", args[++i]});
        } else if (args[i].compare(0, 10, "--machine=") == 0 && args[i].size() > 10) {
            runner.insert(runner.end(), {"--machine", args[i].substr(10)});
        } else {
            programArgs.push_back(args[i]);
        }
    }
    runner.push_back(exe);
    runner.insert(runner.end(), programArgs.begin(), programArgs.end());
    ToolRun run = Spawn(PTASPI_NTRUN, runner);
    run.out = FromTextMode(run.out, "standard output");
    run.err = FromTextMode(run.err, "standard error");
    return run;
}

bool RunsWindowsProgram() {
    return WindowsProgramFromEnvironment() != nullptr;
}

ToolRun RunTool(const std::vector<std::string>& args) {
    if (const char* program = WindowsProgramFromEnvironment()) return RunWindowsProgram(program, args);
    std::vector<std::string> words = args;
    // PTASPI_TOOL_LIBRARY runs every test on another build of the library
    // (the Windows DLL), unless the test picks one itself.
    const char* library = getenv("PTASPI_TOOL_LIBRARY");
    if (library != nullptr && *library != '\0' &&
        std::find(words.begin(), words.end(), "--library") == words.end()) {
        words.insert(words.begin(), {"--library", library});
    }
    return RunLinuxTool(words);
}

std::string WithoutMachineNotes(const std::string& text) {
    std::istringstream lines(text);
    std::string kept;
    for (std::string line; std::getline(lines, line);) {
        if (line.compare(0, 9, "machine: ") == 0 || line.compare(0, 13, "  \"machine\": ") == 0 ||
            line.compare(0, 19, "aspitool: warning: ") == 0 || line.compare(0, 16, "ntrun: warning: ") == 0) {
            continue;
        }
        // The reason after an unreachable unit comes from the machine file.
        const std::string unreachable = "found no class device to reach it through (";
        const size_t reason = line.find(unreachable);
        if (reason != std::string::npos) {
            size_t end = reason + unreachable.size();
            for (int depth = 1; end < line.size() && depth > 0; ++end) {
                depth += line[end] == '(' ? 1 : line[end] == ')' ? -1 : 0;
            }
            line.erase(reason + unreachable.size() - 2, end - (reason + unreachable.size() - 2));
        }
        kept += line + "\n";
    }
    if (!text.empty() && text.back() != '\n' && !kept.empty()) kept.pop_back();
    return kept;
}

std::vector<std::string> AllMachines() {
    std::vector<std::string> machines = {""};
    for (const char* folder : {"/machines", "/tests/machines"}) {
        for (const auto& entry :
             std::filesystem::directory_iterator(std::string(PTASPI_SOURCE_DIR) + folder)) {
            if (entry.path().extension() == ".json") machines.push_back(entry.path().string());
        }
    }
    std::sort(machines.begin(), machines.end());
    return machines;
}

std::string MachinePath(const std::string& name) {
    return std::string(PTASPI_SOURCE_DIR) + "/tests/machines/" + name;
}

std::string MakeTempFolder() {
    const std::string base = std::string(PTASPI_BINARY_DIR) + "/tool_test_files";
    mkdir(base.c_str(), 0700);
    std::string pattern = base + "/run.XXXXXX";
    if (mkdtemp(&pattern[0]) == nullptr) return base;
    return pattern;
}

std::vector<uint8_t> ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool WriteFile(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(out);
}

std::vector<uint8_t> Pattern(size_t count, size_t blockSize, uint8_t seed) {
    std::vector<uint8_t> bytes(count);
    for (size_t i = 0; i < count; ++i) {
        const size_t block = i / blockSize;
        bytes[i] = static_cast<uint8_t>(seed + block * 37 + (i % blockSize) * 7 + (i % blockSize) / 251);
    }
    return bytes;
}

std::vector<uint8_t> FromHex(const std::string& hex) {
    std::vector<uint8_t> bytes;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) {
        bytes.push_back(static_cast<uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
    }
    return bytes;
}

}  // namespace tooltest
