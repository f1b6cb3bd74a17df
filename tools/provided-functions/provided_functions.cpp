// Writes docs/provided-functions.md from the export tables of the simulated
// system DLLs, so that the list cannot drift from what the loader binds;
// with --check, compares the committed file with what it would write.
#include "sim/loader/pe/system_dlls.h"

#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

namespace {

const char* const SystemDlls[] = {"KERNEL32.dll", "ADVAPI32.dll", "USER32.dll", "msvcrt.dll",
                                  "ole32.dll"};
const char* const Regenerate = "cmake --build --preset linux --target provided-functions-doc";

// Returns the whole text of the document.
std::string Document() {
    std::ostringstream text;
    text << "# Win32 and C runtime functions the simulator provides\n\n"
         << "Generated from the simulated system DLLs' export tables; do not edit. After\n"
         << "changing a table, regenerate it with `" << Regenerate << "`.\n\n"
         << "These are all the exports a Windows program or DLL run on the simulated machine\n"
         << "can import, by name or by the ordinal given here. The ordinals are the\n"
         << "simulator's own: the system DLLs of real Windows number their exports\n"
         << "differently from one release to the next. Whatever is not listed here, and\n"
         << "every other system DLL, the simulator lacks. A function marked limited\n"
         << "cannot mean anything on the simulated machine (no debugger, no other\n"
         << "process, no registered COM class): it fails as its documentation says for\n"
         << "that case, and `ntrun --list-imports` marks it so.\n";
    for (const char* dll : SystemDlls) {
        size_t count = 0;
        const sim::NamedExport* exports = sim::SystemDllExports(dll, &count);
        text << "\n## " << dll << " (" << count << ")\n";
        const char* family = nullptr;
        for (size_t i = 0; i < count; ++i) {
            const char* next = sim::SystemExportFamily(dll, exports[i].Name);
            if (next != family) {
                family = next;
                text << "\n### " << (family != nullptr ? family : "Other")
                     << "\n\n| Ordinal | Name |\n|---:|---|\n";
            }
            text << "| " << i + 1 << " | `" << exports[i].Name << "`"
                 << (sim::SystemExportLimited(dll, exports[i].Name) ? " (limited)" : "") << " |\n";
        }
    }
    return text.str();
}

// Returns true with the file at `path` whole in *text.
bool ReadFile(const char* path, std::string* text) {
    std::ifstream file(path, std::ios::binary);
    if (!file) return false;
    std::ostringstream whole;
    whole << file.rdbuf();
    *text = whole.str();
    return true;
}

// Returns the number of the first line where the two texts differ.
size_t FirstDifferentLine(const std::string& a, const std::string& b) {
    size_t line = 1;
    for (size_t i = 0; i < a.size() && i < b.size() && a[i] == b[i]; ++i) {
        if (a[i] == '\n') ++line;
    }
    return line;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string document = Document();
    if (argc == 1) {
        fputs(document.c_str(), stdout);
        return 0;
    }
    if (argc == 3 && std::strcmp(argv[1], "--write") == 0) {
        std::ofstream file(argv[2], std::ios::binary | std::ios::trunc);
        file << document;
        file.close();
        if (!file) {
            fprintf(stderr, "provided_functions: cannot write %s\n", argv[2]);
            return 1;
        }
        return 0;
    }
    if (argc == 3 && std::strcmp(argv[1], "--check") == 0) {
        std::string committed;
        if (!ReadFile(argv[2], &committed)) {
            fprintf(stderr, "%s cannot be read; write it with: %s\n", argv[2], Regenerate);
            return 1;
        }
        if (committed == document) return 0;
        fprintf(stderr,
                "%s differs from the simulator's export tables from line %zu on;\n"
                "regenerate it with: %s\n",
                argv[2], FirstDifferentLine(committed, document), Regenerate);
        return 1;
    }
    fprintf(stderr, "usage: provided_functions [--write FILE | --check FILE]\n");
    return 2;
}
