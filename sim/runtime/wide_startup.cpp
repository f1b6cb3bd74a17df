// The runtime's start-up for programs with a wide entry point (wmain,
// built with -municode or /ENTRY:wmainCRTStartup): __wgetmainargs splits
// the command line as __getmainargs does, into UTF-16 arguments and
// environment, and _wcmdln points to GetCommandLineW's text.
#include "sim/runtime/runtime_families.h"

#include "sim/kernel/win32_families.h"
#include "sim/runtime/command_line.h"

#include <windows.h>

#include <memory>
#include <mutex>
#include <string>
#include <vector>

extern char** environ;

uint16_t** rt_winitenv = nullptr;
uint16_t* rt_wcmdln = nullptr;

namespace {

// Returns a NUL-ended array of UTF-16 copies of `words` (from code page
// 1252, as the ANSI ones), kept for the rest of the process.
uint16_t** KeptWideArray(const std::vector<std::string>& words) {
    static std::mutex lock;
    static auto* kept = new std::vector<std::unique_ptr<std::vector<uint16_t>>>;
    std::lock_guard<std::mutex> hold(lock);
    auto* pointers = new std::vector<uint16_t*>;
    for (const std::string& word : words) {
        const int length = MultiByteToWideChar(CP_ACP, 0, word.c_str(), -1, nullptr, 0);
        kept->emplace_back(new std::vector<uint16_t>(length > 0 ? length : 1, 0));
        if (length > 0) {
            MultiByteToWideChar(CP_ACP, 0, word.c_str(), -1,
                                reinterpret_cast<LPWSTR>(kept->back()->data()), length);
        }
        pointers->push_back(kept->back()->data());
    }
    pointers->push_back(nullptr);
    return pointers->data();  // never freed: the program keeps it
}

}  // namespace

// Returns 0 with the program's arguments and environment in UTF-16.
RUNTIME_ENTRY int rt_wgetmainargs(int* argc, uint16_t*** argv, uint16_t*** env, int doWildcard,
                                  void* startInfo) {
    (void)doWildcard;
    (void)startInfo;
    const std::vector<std::string> words = sim::SplitCommandLine(GetCommandLineA());
    std::vector<std::string> variables;
    for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
        if (**entry != '=') variables.push_back(*entry);
    }
    uint16_t** environment = KeptWideArray(variables);
    if (rt_winitenv == nullptr) rt_winitenv = environment;
    if (argc != nullptr) *argc = static_cast<int>(words.size());
    if (argv != nullptr) *argv = KeptWideArray(words);
    if (env != nullptr) *env = environment;
    return 0;
}

// Returns the address of _wcmdln, the pointer to the wide command line.
RUNTIME_ENTRY uint16_t** rt_p_wcmdln(void) {
    if (rt_wcmdln == nullptr) rt_wcmdln = reinterpret_cast<uint16_t*>(GetCommandLineW());
    return &rt_wcmdln;
}
