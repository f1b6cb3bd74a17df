// The simulated loader. A file that begins with "MZ" is a Windows DLL and
// is mapped by the PE loader (pe/); anything else is taken for a Linux
// shared object. Each first load of a shared object copies it to a new
// temporary file and opens that copy, since the dynamic linker would
// otherwise hand back the same instance, statics and all, for a path it
// has seen before; the copy is unlinked at once, so nothing is left on
// disk. A library already loaded is shared and counted, as on
// Windows, and its DllMain sees process attach once and detach once.
// Every DllMain call is made with the loader lock held (loader_lock.h),
// which also guards the list of modules. In a program's process (ntrun)
// the program's EXE is a module too, DLLs it names are looked for beside
// it, and DLLs that modules import are loaded as their dependencies.
#include "sim/loader/loader.h"

#include "sim/kernel/code_pages.h"
#include "sim/kernel/faults.h"
#include "sim/kernel/handles.h"
#include "sim/kernel/host_paths.h"
#include "sim/kernel/loader_lock.h"
#include "sim/kernel/teb.h"
#include "sim/kernel/threads.h"
#include "sim/loader/pe/pe_format.h"
#include "sim/loader/pe/pe_image.h"
#include "sim/loader/pe/system_dlls.h"
#include "sim/loader/process.h"
#include "sim/loader/program_faults.h"
#include "sim/loader/program_loader.h"

#include <windows.h>

#include <dirent.h>
#include <dlfcn.h>
#include <sys/stat.h>
#include <strings.h>
#include <link.h>
#include <string.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
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
    bool IsProgram = false;  // the process's EXE: its TLS callbacks run, never its entry
    bool Attached = false;   // DLL_PROCESS_ATTACH delivered
    // The DLLs its imports loaded (not the simulator's own), one reference
    // each, given back when it is unloaded.
    std::vector<Module*> Dependencies;
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
    // In NT's initialisation order: a DLL after the DLLs it imports, the
    // program after the DLLs it starts with, then those loaded later.
    std::vector<std::shared_ptr<Module>> Modules;
    // The modules whose imports are being bound, innermost last.
    std::vector<Module*> Binding;
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

void ReleaseModule(Module* module);

// Returns nothing; unmaps the module and forgets it, then gives back its
// references to the DLLs its imports loaded. The loader lock is held.
void Unload(Module* module) {
    WaitForTerminatedThreadsToStop(StopWaitMs);
    module->Loaded = false;
    std::vector<Module*> dependencies;
    dependencies.swap(module->Dependencies);
    if (module->Image) {
        ForgetImageRange(module->Image->Base);
        UnmapPeImage(module->Image.get());
    } else {
        dlclose(module->Library);
    }
    ForgetModule(module);  // the record may be gone from here on
    for (Module* dependency : dependencies) ReleaseModule(dependency);
}

// Returns nothing; one reference to the module (ignored unless it is a
// loaded module's record) is given back, and the last one detaches and
// unloads it; the program's module stays for good. The loader lock is held.
void ReleaseModule(Module* module) {
    std::shared_ptr<Module> held;  // keeps the record while its detach runs
    for (const auto& listed : Loader().Modules) {
        if (listed.get() == module) held = listed;
    }
    if (!held || held->IsProgram || --held->References != 0) return;
    if (held->Attached) CallEntry(held.get(), DLL_PROCESS_DETACH);
    if (held->Loaded) Unload(held.get());  // unless its detach unloaded it
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
    // The DLLs that its imports load are its dependencies.
    Loader().Binding.push_back(module);
    const bool mapped = module->IsProgram ? MapPeProgram(bytes, image.get(), error, &message)
                                          : MapPeImage(bytes, image.get(), error, &message);
    Loader().Binding.pop_back();
    if (!mapped) {
        lastLoadError = module->Source + ": " + message;
        return false;
    }
    module->Handle = reinterpret_cast<HMODULE>(image->Base);
    if (image->EntryRva != 0 && !module->IsProgram) {
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

// Returns the host path of the regular file `name` in `folder`, the name
// compared without case, as NT's file systems compare names; empty when
// there is none.
std::string FindInFolder(const std::string& folder, const std::string& name) {
    struct stat info;
    const std::string exact = folder + "/" + name;
    if (stat(exact.c_str(), &info) == 0) return S_ISREG(info.st_mode) ? exact : std::string();
    std::string found;
    if (DIR* directory = opendir(folder.c_str())) {
        while (const dirent* entry = readdir(directory)) {
            if (strcasecmp(entry->d_name, name.c_str()) == 0) {
                found = folder + "/" + entry->d_name;
                break;
            }
        }
        closedir(directory);
    }
    if (!found.empty() && (stat(found.c_str(), &info) != 0 || !S_ISREG(info.st_mode))) found.clear();
    return found;
}

// Returns the host path of the file that a program's process loads for the
// DLL `name`, empty when there is none. A name with a path is taken as it
// stands (drive Z: or relative to the current folder); a plain name, with
// ".dll" added when it has no extension (a trailing dot: none), is looked
// for in the program's folder, then in the current folder, as NT looks for
// a DLL that is not one of its own.
std::string SearchProgramDll(const char* name) {
    std::string file = name;
    if (file.find_first_of("/\\:") != std::string::npos) return HostPath(name);
    if (!file.empty() && file.back() == '.') {
        file.pop_back();
    } else if (file.find('.') == std::string::npos) {
        file += ".dll";
    }
    const std::string& program = ProgramPath();
    std::string found = FindInFolder(program.substr(0, program.rfind('/')), file);
    char current[PATH_MAX];
    if (found.empty() && getcwd(current, sizeof current) != nullptr) {
        found = FindInFolder(current, file);
    }
    return found;
}

// Returns the module loaded from the file at `resolved` (a real path) with
// one reference more. A new one is mapped (the program's module when
// `program`), the DLLs its imports need loaded before it, and listed, not
// yet attached. Null with the Win32 error in *error and the reason in
// lastLoadError. The loader lock is held.
Module* LoadModule(const std::string& resolved, bool program, DWORD* error) {
    if (Module* loaded = FindModuleBySource(resolved)) {
        ++loaded->References;
        return loaded;
    }
    for (const Module* binding : Loader().Binding) {
        if (binding->Source == resolved) {
            *error = ERROR_BAD_EXE_FORMAT;
            lastLoadError = resolved + ": its imports lead back to it, a cycle this loader "
                                       "does not follow";
            return nullptr;
        }
    }
    auto module = std::make_shared<Module>();
    module->Source = resolved;
    module->IsProgram = program;
    if (IsWindowsImage(resolved.c_str())) {
        if (!MapWindowsImage(module.get(), error)) {
            for (Module* dependency : module->Dependencies) ReleaseModule(dependency);
            return nullptr;
        }
    } else if (IsProgramProcess()) {
        // A Windows program loads Windows DLLs only.
        *error = ERROR_BAD_EXE_FORMAT;
        lastLoadError = resolved + ": not a Windows DLL";
        return nullptr;
    } else {
        module->Library = OpenFreshCopy(resolved.c_str(), error);
        if (module->Library == nullptr) return nullptr;
        module->Handle = reinterpret_cast<HMODULE>(module.get());
        module->Entry = FindEntry(module->Library);
    }
    module->References = 1;
    module->Loaded = true;
    Loader().Modules.push_back(module);
    if (module->Image) {
        RegisterImageRange(module->Image->Base, module->Image->Size, BaseName(resolved.c_str()));
    }
    return module.get();
}

// Returns true once every listed module not yet attached has had
// DLL_PROCESS_ATTACH (the program's module: its TLS callbacks) in order;
// false at the first that refused, named in *refused. The loader lock is
// held.
bool AttachPending(Module** refused) {
    for (const auto& module : ModulesNow()) {
        if (!module->Loaded || module->Attached) continue;  // freed meanwhile, or done
        module->Attached = true;
        if (!CallEntry(module.get(), DLL_PROCESS_ATTACH)) {
            *refused = module.get();
            return false;
        }
    }
    return true;
}

// Returns the program's module, or null outside a program's process.
Module* ProgramModule() {
    for (const auto& module : Loader().Modules) {
        if (module->IsProgram) return module.get();
    }
    return nullptr;
}

// The block of the program's implicit thread-local data for the calling
// thread, or null.
thread_local std::vector<unsigned char>* programTlsData = nullptr;
thread_local void* programTlsArray[1];

// Returns nothing; the calling thread's copy of the program's implicit
// thread-local data is made and put where code built for Windows finds it:
// ThreadLocalStoragePointer in its environment block points to an array
// whose entry 0 (the program's TLS index) is the copy. The loader lock is
// held.
void GiveThreadProgramTls() {
    Module* program = ProgramModule();
    if (program == nullptr || program->Image->TlsRva == 0 || programTlsData != nullptr) return;
    const PeImage& image = *program->Image;
    pe::TlsDirectory32 directory;
    std::memcpy(&directory, image.Base + image.TlsRva, sizeof directory);
    const uintptr_t base = reinterpret_cast<uintptr_t>(image.Base);
    const uintptr_t start = directory.StartAddressOfRawData;
    const uintptr_t end = directory.EndAddressOfRawData;
    std::vector<unsigned char> data;
    if (start >= base && end >= start && end - base <= image.Size) {
        data.assign(reinterpret_cast<const unsigned char*>(start),
                    reinterpret_cast<const unsigned char*>(end));
    }
    data.resize(data.size() + std::min<uint32_t>(directory.SizeOfZeroFill, image.Size), 0);
    programTlsData = new std::vector<unsigned char>(std::move(data));
    programTlsArray[0] = programTlsData->data();
    unsigned char* block = CurrentThreadEnvironment();
    if (block == nullptr) return;
    const uint32_t pointer = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(programTlsArray));
    std::memcpy(block + TebThreadLocalStoragePointer, &pointer, sizeof pointer);
}

// Returns nothing; the calling thread's copy of the program's thread-local
// data is gone.
void DropThreadProgramTls() {
    delete programTlsData;
    programTlsData = nullptr;
    programTlsArray[0] = nullptr;
}

}  // namespace

bool FindDllForImport(const char* name, const PeImage** image, DWORD* error,
                      std::string* message) {
    *image = nullptr;
    const std::string path = SearchProgramDll(name);
    char resolved[PATH_MAX];
    if (path.empty() || realpath(path.c_str(), resolved) == nullptr) return true;
    Module* module = LoadModule(resolved, false, error);
    if (module == nullptr) {
        *message = lastLoadError;
        return false;
    }
    Loader().Binding.back()->Dependencies.push_back(module);
    *image = module->Image.get();
    return true;
}

std::string ImportingModuleName() {
    return Loader().Binding.empty() ? std::string()
                                    : BaseName(Loader().Binding.back()->Source.c_str());
}

HMODULE LoadProgramModule(const std::string& hostPath, std::string* message) {
    LoaderLockHold hold;
    DWORD error = 0;
    Module* module = LoadModule(hostPath, true, &error);
    if (module == nullptr) {
        // The program's path begins the reason already.
        *message = lastLoadError.compare(0, hostPath.size() + 2, hostPath + ": ") == 0
                       ? lastLoadError.substr(hostPath.size() + 2)
                       : lastLoadError;
        return nullptr;
    }
    return module->Handle;
}

bool AttachProcessModules(std::string* refused) {
    CurrentThreadEnvironment();
    LoaderLockHold hold;
    GiveThreadProgramTls();
    Module* failed = nullptr;
    if (AttachPending(&failed)) return true;
    *refused = BaseName(failed->Source.c_str());
    return false;
}

void* ProgramEntryPoint() {
    LoaderLockHold hold;
    Module* program = ProgramModule();
    if (program == nullptr || program->Image->EntryRva == 0) return nullptr;
    return program->Image->Base + program->Image->EntryRva;
}

const std::string& LastLoadError() { return lastLoadError; }

size_t MappedImageCount() { return MappedPeImageCount(); }

void RunThreadNotifications(DWORD reason) {
    LoaderLockHold hold;
    if (reason == DLL_THREAD_ATTACH) GiveThreadProgramTls();
    // Attach goes through the modules in load order, detach in reverse, as
    // NT walks its initialisation-order list; what they return is ignored.
    std::vector<std::shared_ptr<Module>> modules = ModulesNow();
    if (reason == DLL_THREAD_DETACH) std::reverse(modules.begin(), modules.end());
    for (const auto& module : modules) {
        // Unless freed meanwhile, or not attached yet itself.
        if (module->Loaded && module->Attached) CallEntry(module.get(), reason);
    }
    if (reason == DLL_THREAD_DETACH) DropThreadProgramTls();
}

bool DetachModulesAtExit() {
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
    // DLL_PROCESS_DETACH with a non-null reserved (process exit, not
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
    return true;
}

bool SimulateProcessExit() {
    // First every other thread is terminated, without DLL_THREAD_DETACH.
    TerminateOtherThreads();
    if (!DetachModulesAtExit()) return false;
    LoaderLockHold hold;
    while (!Loader().Modules.empty()) {
        Module* last = Loader().Modules.back().get();
        last->Dependencies.clear();  // every module goes, each once
        Unload(last);
    }
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
// nor a PE32 i386 DLL, 1114 attach refused. A simulated system DLL named
// without a folder (KERNEL32, ADVAPI32, USER32, msvcrt) is always loaded
// and its handle returned at once. In a program's process the
// name is looked for as NT looks for it (see SearchProgramDll) and a
// Windows DLL is the only kind it loads.
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
    if (HMODULE system = sim::SystemDllHandle(lpLibFileName)) return system;
    const std::string path =
        sim::IsProgramProcess() ? sim::SearchProgramDll(lpLibFileName) : lpLibFileName;
    char resolved[PATH_MAX];
    if (path.empty() || realpath(path.c_str(), resolved) == nullptr) {
        sim::SetLastErrorCode(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    // The loading thread may run the DLL's code from here on.
    sim::CurrentThreadEnvironment();
    sim::LoaderLockHold hold;
    sim::Module* module = sim::LoadModule(resolved, false, &error);
    if (module == nullptr) {
        sim::SetLastErrorCode(error);
        return nullptr;
    }
    // `held` keeps the record alive should an attach free it.
    std::shared_ptr<sim::Module> held;
    for (const auto& listed : sim::Loader().Modules) {
        if (listed.get() == module) held = listed;
    }
    sim::Module* refused = nullptr;
    if (!sim::AttachPending(&refused)) {
        // A refused attach is followed at once by its detach; the load
        // fails as a whole, so the module asked for is given back, and
        // with it the DLLs it loaded.
        if (refused->Loaded) sim::CallEntry(refused, DLL_PROCESS_DETACH);
        refused->Attached = false;
        if (held->Loaded) sim::ReleaseModule(module);
        sim::SetLastErrorCode(ERROR_DLL_INIT_FAILED);
        return nullptr;
    }
    return sim::HandleOf(module);
}

// As LoadLibraryA, with a UTF-16 name.
extern "C" HMODULE WINAPI LoadLibraryW(LPCWSTR lpLibFileName) {
    if (lpLibFileName == nullptr) return LoadLibraryA(nullptr);
    return LoadLibraryA(sim::Utf8FromWide(lpLibFileName).c_str());
}

// Returns TRUE once one load is undone; the last one detaches and unloads.
// Once process exit has begun it returns TRUE and does nothing: exit
// detaches and unloads every module itself.
extern "C" BOOL WINAPI FreeLibrary(HMODULE hLibModule) {
    sim::ExitIfTerminated();
    if (sim::IsSystemDll(hLibModule)) return TRUE;  // never unloaded
    sim::LoaderLockHold hold;
    if (sim::Loader().ExitInProgress) return TRUE;
    sim::Module* module = sim::FindModule(hLibModule);
    if (module == nullptr) {
        sim::SetLastErrorCode(ERROR_MOD_NOT_FOUND);
        return FALSE;
    }
    sim::ReleaseModule(module);
    return TRUE;
}

// Returns the address of the module's export, or NULL with 127 (126 for
// an unknown module).
extern "C" FARPROC WINAPI GetProcAddress(HMODULE hModule, LPCSTR lpProcName) {
    sim::ExitIfTerminated();
    size_t systemCount = 0;
    const char* systemName = nullptr;
    if (const sim::NamedExport* exports = sim::SystemDllOfHandle(hModule, &systemCount, &systemName)) {
        const void* address = sim::FindSystemExport(exports, systemCount, lpProcName);
        if (address == nullptr) sim::SetLastErrorCode(ERROR_PROC_NOT_FOUND);
        return reinterpret_cast<FARPROC>(const_cast<void*>(address));
    }
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

// Returns the handle of a loaded module or simulated system DLL named
// `lpModuleName` (its file name, without case; ".dll" is assumed without
// an extension), the
// process's own for NULL, or NULL with 126. No reference is taken.
extern "C" HMODULE WINAPI GetModuleHandleA(LPCSTR lpModuleName) {
    sim::ExitIfTerminated();
    sim::LoaderLockHold hold;
    if (lpModuleName == nullptr) {
        sim::Module* program = sim::ProgramModule();
        return program != nullptr ? program->Handle : sim::ProcessModule;
    }
    if (HMODULE system = sim::SystemDllHandle(lpModuleName)) return system;
    std::string wanted = sim::BaseName(lpModuleName);
    if (wanted.find('.') == std::string::npos) wanted += ".dll";
    for (const auto& module : sim::Loader().Modules) {
        if (strcasecmp(sim::BaseName(module->Source.c_str()), wanted.c_str()) == 0) {
            return sim::HandleOf(module.get());
        }
    }
    sim::SetLastErrorCode(ERROR_MOD_NOT_FOUND);
    return nullptr;
}

// As GetModuleHandleA, with a UTF-16 name.
extern "C" HMODULE WINAPI GetModuleHandleW(LPCWSTR lpModuleName) {
    if (lpModuleName == nullptr) return GetModuleHandleA(nullptr);
    return GetModuleHandleA(sim::Utf8FromWide(lpModuleName).c_str());
}

// Returns the length of the module's path (the program's for NULL), in
// Windows form (drive Z: for the host's files), copied with its NUL to
// lpFilename; 0 with 126 for an unknown module. A path that does not fit
// is cut to nSize characters without a NUL, and nSize is returned with 122
// set, as NT before Vista does.
extern "C" DWORD WINAPI GetModuleFileNameA(HMODULE hModule, LPSTR lpFilename, DWORD nSize) {
    sim::ExitIfTerminated();
    std::string path;
    {
        sim::LoaderLockHold hold;
        sim::Module* module =
            hModule == nullptr ? sim::ProgramModule() : sim::FindModule(hModule);
        size_t count = 0;
        const char* systemName = nullptr;
        if (sim::SystemDllOfHandle(hModule, &count, &systemName) != nullptr) {
            path = std::string("C:\\WINNT\\system32\\") + systemName;
        } else if (module == nullptr) {
            sim::SetLastErrorCode(ERROR_MOD_NOT_FOUND);
            return 0;
        } else {
            path = sim::WindowsPath(module->Source);
        }
    }
    if (path.size() >= nSize) {
        std::memcpy(lpFilename, path.data(), nSize);
        sim::SetLastErrorCode(ERROR_INSUFFICIENT_BUFFER);
        return nSize;
    }
    std::memcpy(lpFilename, path.c_str(), path.size() + 1);
    return static_cast<DWORD>(path.size());
}
