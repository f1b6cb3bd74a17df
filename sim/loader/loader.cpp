// The simulated loader. A file that begins with "MZ" is a Windows DLL and
// is mapped by the PE loader (pe/); anything else is taken for a Linux
// shared object. Each first load of a shared object copies it to a new
// temporary file and opens that copy, since the dynamic linker would
// otherwise hand back the same instance, statics and all, for a path it
// has seen before; the copy is unlinked at once, so nothing is left on
// disk. A library already loaded is shared and counted, as on
// Windows, and its DllMain sees process attach once and detach once.
// Every DllMain call is made with the loader lock held (loader_lock.h),
// which also guards the list of modules.
#include "sim/loader/loader.h"

#include "sim/kernel/faults.h"
#include "sim/kernel/handles.h"
#include "sim/kernel/loader_lock.h"
#include "sim/kernel/teb.h"
#include "sim/kernel/threads.h"
#include "sim/loader/pe/pe_image.h"

#include <windows.h>

#include <dlfcn.h>
#include <strings.h>
#include <link.h>
#include <string.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

namespace sim {
namespace {

const DWORD ErrorBadExeFormat = 193;

typedef BOOL(WINAPI* EntryRoutine)(HINSTANCE, DWORD, LPVOID);
typedef void(WINAPI* TlsCallback)(PVOID, DWORD, PVOID);

struct Module {
    std::string Source;  // the real path of the file it was loaded from
    HMODULE Handle = nullptr;  // a PE image's base; the record itself otherwise
    void* Library = nullptr;   // a shared object's dynamic linker handle
    std::unique_ptr<PeImage> Image;  // a PE image's mapping
    EntryRoutine Entry = nullptr;
    unsigned References = 0;
    bool Loaded = false;           // false once unloaded; a walk's copy may outlive that
    bool DetachedAtExit = false;  // process exit has called its entry point
};

// What GetModuleHandleA(NULL) returns: the base that NT gives an
// executable image by default. The process has no image of its own here,
// so no module is ever found behind it.
HMODULE const ProcessModule = reinterpret_cast<HMODULE>(0x00400000);

// Why the calling thread's last LoadLibraryA of a PE file failed.
thread_local std::string lastLoadError;

// Guarded by the loader lock, which is recursive, so that a DllMain may
// itself load or free a library.
struct LoaderState {
    std::vector<std::shared_ptr<Module>> Modules;  // in load order
    // Set from the moment process exit starts detaching until it has
    // unloaded every module: FreeLibrary then does nothing, as on NT.
    bool ExitInProgress = false;
};

// Returns the loader's state, created once and never destroyed.
LoaderState& Loader() {
    static LoaderState* loader = new LoaderState;
    return *loader;
}

// Returns the module handle that names `module`.
HMODULE HandleOf(Module* module) { return module->Handle; }

// Returns the loaded module behind `handle`, or null. The loader lock is held.
Module* FindModule(HMODULE handle) {
    for (const auto& module : Loader().Modules) {
        if (HandleOf(module.get()) == handle) return module.get();
    }
    return nullptr;
}

// Returns the loaded module that came from `source`, or null.
Module* FindModuleBySource(const std::string& source) {
    for (const auto& module : Loader().Modules) {
        if (module->Source == source) return module.get();
    }
    return nullptr;
}

// Returns nothing; drops the record of an unloaded module.
void ForgetModule(Module* module) {
    auto& modules = Loader().Modules;
    for (auto it = modules.begin(); it != modules.end(); ++it) {
        if (it->get() == module) {
            modules.erase(it);
            return;
        }
    }
}

// Returns true when all of `source` was copied to the open file `target`.
bool CopyFile(int source, int target) {
    char buffer[65536];
    for (;;) {
        ssize_t got = read(source, buffer, sizeof buffer);
        if (got == 0) return true;
        if (got < 0) return false;
        for (ssize_t done = 0; done < got;) {
            ssize_t put = write(target, buffer + done, static_cast<size_t>(got - done));
            if (put <= 0) return false;
            done += put;
        }
    }
}

// Returns the dynamic linker's handle of a fresh instance of the shared
// object at `path`, or null with the Win32 error in *error.
void* OpenFreshCopy(const char* path, DWORD* error) {
    int source = open(path, O_RDONLY | O_CLOEXEC);
    if (source < 0) {
        *error = ERROR_MOD_NOT_FOUND;
        return nullptr;
    }
    const char* folder = getenv("TMPDIR");
    std::string name = std::string(folder != nullptr && *folder != '\0' ? folder : "/tmp") +
                       "/ptaspi-module-XXXXXX";
    std::vector<char> copyPath(name.begin(), name.end());
    copyPath.push_back('\0');
    int target = mkostemp(copyPath.data(), O_CLOEXEC);
    if (target < 0) {
        close(source);
        *error = ERROR_NOT_ENOUGH_MEMORY;
        return nullptr;
    }
    bool copied = CopyFile(source, target);
    close(source);
    close(target);
    void* library = copied ? dlopen(copyPath.data(), RTLD_NOW | RTLD_LOCAL) : nullptr;
    unlink(copyPath.data());
    if (library == nullptr) *error = copied ? ErrorBadExeFormat : ERROR_NOT_ENOUGH_MEMORY;
    return library;
}

// Returns the address of `name` when the library itself exports it. The
// dynamic linker also searches the library's dependencies, while Windows
// looks in the module's own export table only.
void* FindExport(void* library, const char* name) {
    void* symbol = dlsym(library, name);
    if (symbol == nullptr) return nullptr;
    struct link_map* map = nullptr;
    Dl_info where;
    if (dlinfo(library, RTLD_DI_LINKMAP, &map) != 0 || dladdr(symbol, &where) == 0 ||
        where.dli_fname == nullptr || strcmp(where.dli_fname, map->l_name) != 0) {
        return nullptr;
    }
    return symbol;
}

// Returns the library's DllMain, or null when it has none.
EntryRoutine FindEntry(void* library) {
    void* entry = FindExport(library, "DllMain");
    if (entry == nullptr) entry = FindExport(library, "DllMain@12");
    return reinterpret_cast<EntryRoutine>(entry);
}

// Returns what DllMain returned, TRUE when the module has none. The
// loader lock is held.
BOOL CallEntry(Module* module, DWORD reason, LPVOID reserved = nullptr) {
    if (module->Image) {
        // Windows code finds its thread environment block through %fs, and
        // the image's TLS callbacks run before its entry point.
        CurrentThreadEnvironment();
        for (void* callback : PeTlsCallbacks(*module->Image)) {
            reinterpret_cast<TlsCallback>(callback)(HandleOf(module), reason, reserved);
        }
    }
    if (module->Entry == nullptr) return TRUE;
    return module->Entry(HandleOf(module), reason, reserved);
}

// How long the loader waits for terminated threads to stop running a
// module's code before it unmaps the module anyway.
const DWORD StopWaitMs = 2000;

// Returns nothing; unmaps the module and forgets it. The loader lock is held.
void Unload(Module* module) {
    WaitForTerminatedThreadsToStop(StopWaitMs);
    module->Loaded = false;
    if (module->Image) {
        UnmapPeImage(module->Image.get());
    } else {
        dlclose(module->Library);
    }
    ForgetModule(module);
}

// Returns the loaded modules in load order, copied, since an entry point
// may load or free a library while the caller walks them; the copies keep
// the records alive, so a freed module is seen as no longer Loaded.
std::vector<std::shared_ptr<Module>> ModulesNow() { return Loader().Modules; }

// Returns the module loaded last whose entry point process exit has not
// called yet, or null. The loader lock is held.
Module* NextToDetachAtExit() {
    const auto& modules = Loader().Modules;
    for (auto it = modules.rbegin(); it != modules.rend(); ++it) {
        if (!(*it)->DetachedAtExit) return it->get();
    }
    return nullptr;
}

// Returns true when the file at `path` begins with "MZ", as every Windows
// image does.
bool IsWindowsImage(const char* path) {
    int file = open(path, O_RDONLY | O_CLOEXEC);
    if (file < 0) return false;
    char magic[2] = {0, 0};
    const bool windows = read(file, magic, 2) == 2 && magic[0] == 'M' && magic[1] == 'Z';
    close(file);
    return windows;
}

// Returns true with the whole file at `path` in *bytes.
bool ReadWholeFile(const char* path, std::vector<unsigned char>* bytes) {
    int file = open(path, O_RDONLY | O_CLOEXEC);
    if (file < 0) return false;
    unsigned char buffer[65536];
    ssize_t got;
    while ((got = read(file, buffer, sizeof buffer)) > 0) {
        bytes->insert(bytes->end(), buffer, buffer + got);
    }
    close(file);
    return got == 0;
}

// Returns true with the module's PE image mapped and its entry point
// found; false with the Win32 error in *error and the reason in
// lastLoadError.
bool MapWindowsImage(Module* module, DWORD* error) {
    std::vector<unsigned char> bytes;
    if (!ReadWholeFile(module->Source.c_str(), &bytes)) {
        *error = ERROR_MOD_NOT_FOUND;
        lastLoadError = module->Source + ": cannot be read";
        return false;
    }
    auto image = std::make_unique<PeImage>();
    std::string message;
    if (!MapPeImage(bytes, image.get(), error, &message)) {
        lastLoadError = module->Source + ": " + message;
        return false;
    }
    module->Handle = reinterpret_cast<HMODULE>(image->Base);
    if (image->EntryRva != 0) {
        module->Entry = reinterpret_cast<EntryRoutine>(image->Base + image->EntryRva);
    }
    module->Image = std::move(image);
    return true;
}

// Returns the file name part of a path.
const char* BaseName(const char* path) {
    const char* slash = strrchr(path, '/');
    const char* backslash = strrchr(path, '\\');
    const char* last = slash > backslash ? slash : backslash;
    return last == nullptr ? path : last + 1;
}

}  // namespace

const std::string& LastLoadError() { return lastLoadError; }

size_t MappedImageCount() { return MappedPeImageCount(); }

void RunThreadNotifications(DWORD reason) {
    LoaderLockHold hold;
    // Attach goes through the modules in load order, detach in reverse, as
    // NT walks its initialisation-order list; what they return is ignored.
    std::vector<std::shared_ptr<Module>> modules = ModulesNow();
    if (reason == DLL_THREAD_DETACH) std::reverse(modules.begin(), modules.end());
    for (const auto& module : modules) {
        if (module->Loaded) CallEntry(module.get(), reason);  // unless freed meanwhile
    }
}

bool SimulateProcessExit() {
    // First every other thread is terminated, without DLL_THREAD_DETACH.
    TerminateOtherThreads();
    // A loader lock still held now is held by a terminated thread and can
    // never be taken: NT's exit would deadlock here (ExitProcess: a lock
    // held by a terminated thread that detach code needs). The simulator
    // reports it instead, ends the process without calling any DllMain,
    // and forgets the modules without unmapping them, since the thread
    // that holds the lock may still be running their code.
    if (LoaderLockOrphaned()) {
        ResetOrphanedLoaderLock();
        LoaderLockHold hold;
        static auto* leftMapped = new std::vector<std::shared_ptr<Module>>;
        leftMapped->insert(leftMapped->end(), Loader().Modules.begin(), Loader().Modules.end());
        Loader().Modules.clear();
        return false;
    }
    LoaderLockHold hold;
    // Then DLL_PROCESS_DETACH with a non-null reserved (process exit, not
    // FreeLibrary), last loaded first, whatever the reference counts. From
    // here on FreeLibrary does nothing, so a detach that frees a library
    // neither detaches it early nor twice; a library that a detach loads
    // is detached in its turn. Every module is detached exactly once.
    static int processExit;  // any non-null value will do
    Loader().ExitInProgress = true;
    while (Module* module = NextToDetachAtExit()) {
        module->DetachedAtExit = true;
        CallEntry(module, DLL_PROCESS_DETACH, &processExit);
    }
    while (!Loader().Modules.empty()) Unload(Loader().Modules.back().get());
    Loader().ExitInProgress = false;  // the simulated process goes on for the tests
    return true;
}

BOOL CallEntryPoint(HMODULE module, DWORD reason) {
    LoaderLockHold hold;
    Module* found = FindModule(module);
    if (found == nullptr) {
        SetLastErrorCode(ERROR_MOD_NOT_FOUND);
        return FALSE;
    }
    return CallEntry(found, reason);
}

size_t LoadedModuleCount() {
    LoaderLockHold hold;
    return Loader().Modules.size();
}

}  // namespace sim

// Returns the loaded module's handle, or NULL with the last error set:
// 126 no such file (or an imported DLL missing), 127 an imported function
// missing, 182 an imported ordinal missing, 193 neither a shared object
// nor a PE32 i386 DLL, 1114 attach refused.
extern "C" HMODULE WINAPI LoadLibraryA(LPCSTR lpLibFileName) {
    sim::ExitIfTerminated();
    DWORD error = 0;
    if (sim::TakeFault(sim::Call::LoadLibraryA, lpLibFileName, &error)) {
        sim::SetLastErrorCode(error);
        return nullptr;
    }
    if (lpLibFileName == nullptr || *lpLibFileName == '\0') {
        sim::SetLastErrorCode(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    char resolved[PATH_MAX];
    if (realpath(lpLibFileName, resolved) == nullptr) {
        sim::SetLastErrorCode(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    // The loading thread may run the DLL's code from here on.
    sim::CurrentThreadEnvironment();
    sim::LoaderLockHold hold;
    if (sim::Module* loaded = sim::FindModuleBySource(resolved)) {
        ++loaded->References;
        return sim::HandleOf(loaded);
    }
    auto module = std::make_shared<sim::Module>();
    module->Source = resolved;
    if (sim::IsWindowsImage(resolved)) {
        if (!sim::MapWindowsImage(module.get(), &error)) {
            sim::SetLastErrorCode(error);
            return nullptr;
        }
    } else {
        module->Library = sim::OpenFreshCopy(resolved, &error);
        if (module->Library == nullptr) {
            sim::SetLastErrorCode(error);
            return nullptr;
        }
        module->Handle = reinterpret_cast<HMODULE>(module.get());
        module->Entry = sim::FindEntry(module->Library);
    }
    module->References = 1;
    module->Loaded = true;
    sim::Loader().Modules.push_back(module);  // `module` keeps it alive should attach free it
    sim::Module* added = module.get();
    if (!sim::CallEntry(added, DLL_PROCESS_ATTACH)) {
        // A refused attach is followed at once by detach and the unload.
        if (added->Loaded) {
            sim::CallEntry(added, DLL_PROCESS_DETACH);
            sim::Unload(added);
        }
        sim::SetLastErrorCode(ERROR_DLL_INIT_FAILED);
        return nullptr;
    }
    return sim::HandleOf(added);
}

// Returns TRUE once one load is undone; the last one detaches and unloads.
// Once process exit has begun it returns TRUE and does nothing: exit
// detaches and unloads every module itself.
extern "C" BOOL WINAPI FreeLibrary(HMODULE hLibModule) {
    sim::ExitIfTerminated();
    sim::LoaderLockHold hold;
    if (sim::Loader().ExitInProgress) return TRUE;
    sim::Module* module = sim::FindModule(hLibModule);
    if (module == nullptr) {
        sim::SetLastErrorCode(ERROR_MOD_NOT_FOUND);
        return FALSE;
    }
    if (--module->References != 0) return TRUE;
    sim::CallEntry(module, DLL_PROCESS_DETACH);
    sim::Unload(module);
    return TRUE;
}

// Returns the address of the module's export, or NULL with 127 (126 for
// an unknown module).
extern "C" FARPROC WINAPI GetProcAddress(HMODULE hModule, LPCSTR lpProcName) {
    sim::ExitIfTerminated();
    sim::LoaderLockHold hold;
    sim::Module* module = sim::FindModule(hModule);
    if (module == nullptr) {
        sim::SetLastErrorCode(hModule == sim::ProcessModule ? ERROR_PROC_NOT_FOUND
                                                           : ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    void* symbol = nullptr;
    if (module->Image) {
        symbol = sim::FindPeExport(*module->Image, lpProcName);
    } else if (reinterpret_cast<uintptr_t>(lpProcName) >= 0x10000) {
        // A value below 0x10000 is an ordinal; shared objects export by name only.
        symbol = sim::FindExport(module->Library, lpProcName);
    }
    if (symbol == nullptr) {
        sim::SetLastErrorCode(ERROR_PROC_NOT_FOUND);
        return nullptr;
    }
    return reinterpret_cast<FARPROC>(symbol);
}

// Returns the handle of a loaded module named `lpModuleName` (its file
// name, without case; ".dll" is assumed without an extension), the
// process's own for NULL, or NULL with 126. No reference is taken.
extern "C" HMODULE WINAPI GetModuleHandleA(LPCSTR lpModuleName) {
    sim::ExitIfTerminated();
    if (lpModuleName == nullptr) return sim::ProcessModule;
    std::string wanted = sim::BaseName(lpModuleName);
    if (wanted.find('.') == std::string::npos) wanted += ".dll";
    sim::LoaderLockHold hold;
    for (const auto& module : sim::Loader().Modules) {
        if (strcasecmp(sim::BaseName(module->Source.c_str()), wanted.c_str()) == 0) {
            return sim::HandleOf(module.get());
        }
    }
    sim::SetLastErrorCode(ERROR_MOD_NOT_FOUND);
    return nullptr;
}
