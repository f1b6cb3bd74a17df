// The PE loader on the project's own Windows DLL and on a small probe DLL
// (fixtures/pe_probe.c): header refusals, a missing import named,
// relocation away from the preferred base, exports by ordinal, entry
// points and TLS callbacks, page protections, the thread environment
// block, and loads that leave nothing mapped.
#include "kernel_test_support.h"

#include "sim/kernel/teb.h"
#include "sim/loader/loader.h"
#include "sim/sim.h"

#include <gtest/gtest.h>

#include <process.h>
#include <windows.h>

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <fstream>
#include <iterator>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

namespace {

typedef DWORD(__cdecl* SupportInfoProc)(void);

const std::string dllPath = PTASPI_WINDOWS_DLL;

#define REQUIRE_DLL() \
    if (access(dllPath.c_str(), R_OK) != 0) GTEST_SKIP() << dllPath << " not built"

// Returns the bytes of the file at `path`.
std::vector<char> ReadBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<char>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Returns the path of a file named `name` that holds `bytes`; one name per
// process, since ctest runs the loader tests side by side.
std::string WriteCopy(const std::vector<char>& bytes, const std::string& name) {
    const std::string path =
        ::testing::TempDir() + "/" + name + "-" + std::to_string(getpid()) + ".dll";
    std::ofstream(path, std::ios::binary)
        .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return path;
}

// Returns the path of a copy of the DLL with `patch` applied.
template <class Patch>
std::string PatchedCopy(Patch patch) {
    std::vector<char> bytes = ReadBytes(dllPath);
    patch(bytes);
    return WriteCopy(bytes, "patched-ptaspi32");
}

uint32_t Get32(const std::vector<char>& bytes, size_t at) {
    uint32_t value;
    std::memcpy(&value, &bytes.at(at + 3) - 3, 4);
    return value;
}

void Put32(std::vector<char>& bytes, size_t at, uint32_t value) {
    std::memcpy(&bytes.at(at + 3) - 3, &value, 4);
}

// Returns the offset of the PE signature.
size_t NewHeader(const std::vector<char>& bytes) {
    uint32_t offset;
    std::memcpy(&offset, bytes.data() + 0x3C, 4);
    return offset;
}

// Returns nothing; replaces the first `from` (with its NUL) by `to`.
void ReplaceText(std::vector<char>& bytes, const std::string& from, const std::string& to) {
    auto at = std::search(bytes.begin(), bytes.end(), from.c_str(), from.c_str() + from.size() + 1);
    ASSERT_NE(at, bytes.end()) << from;
    std::copy(to.begin(), to.end(), at);
}

// The file offset and RVA of each section's raw data, for patches.
struct SectionPlace {
    uint32_t Rva, Size, Offset;
};

// Returns where the DLL's sections lie in the file and in the image.
std::vector<SectionPlace> SectionPlaces(const std::vector<char>& bytes) {
    const size_t header = NewHeader(bytes);
    uint16_t sections, optionalSize;
    std::memcpy(&sections, &bytes[header + 6], 2);
    std::memcpy(&optionalSize, &bytes[header + 20], 2);
    std::vector<SectionPlace> places;
    for (uint16_t i = 0; i < sections; ++i) {
        uint32_t fields[4];  // VirtualSize, VirtualAddress, SizeOfRawData, PointerToRawData
        std::memcpy(fields, &bytes[header + 24 + optionalSize + 40u * i + 8], sizeof fields);
        places.push_back({fields[1], fields[2], fields[3]});
    }
    return places;
}

// Returns the RVA of a file offset inside a section, 0 elsewhere.
uint32_t RvaOf(const std::vector<char>& bytes, uint32_t offset) {
    for (const SectionPlace& place : SectionPlaces(bytes)) {
        if (offset >= place.Offset && offset - place.Offset < place.Size) {
            return offset - place.Offset + place.Rva;
        }
    }
    return 0;
}

// Returns the file offset of an RVA inside a section's raw data, 0 elsewhere.
uint32_t OffsetOf(const std::vector<char>& bytes, uint32_t rva) {
    for (const SectionPlace& place : SectionPlaces(bytes)) {
        if (rva >= place.Rva && rva - place.Rva < place.Size) return rva - place.Rva + place.Offset;
    }
    return 0;
}

// Returns the RVA in data directory `index` of the optional header.
uint32_t DirectoryRva(const std::vector<char>& bytes, unsigned index) {
    uint32_t rva;
    std::memcpy(&rva, &bytes[NewHeader(bytes) + 24 + 96 + 8 * index], 4);
    return rva;
}

// Returns nothing; makes the DLL import `name` by `ordinal` instead: every
// import table entry that holds the address of its hint-name entry (the
// lookup table's and the address table's) takes the ordinal flag.
void ImportByOrdinal(std::vector<char>& bytes, const std::string& name, uint32_t ordinal) {
    auto text =
        std::search(bytes.begin(), bytes.end(), name.c_str(), name.c_str() + name.size() + 1);
    ASSERT_NE(text, bytes.end());
    const uint32_t rva = RvaOf(bytes, static_cast<uint32_t>(text - bytes.begin()) - 2);
    ASSERT_NE(rva, 0u);
    int patched = 0;
    for (size_t at = 0; at + 4 <= bytes.size(); at += 4) {
        if (std::memcmp(&bytes[at], &rva, 4) != 0) continue;
        const uint32_t entry = 0x80000000u | ordinal;
        std::memcpy(&bytes[at], &entry, 4);
        ++patched;
    }
    ASSERT_EQ(patched, 2);
}

// Returns nothing; gives the first base relocation the type `type`.
void RelocationType(std::vector<char>& bytes, unsigned type) {
    const uint32_t block = OffsetOf(bytes, DirectoryRva(bytes, 5));
    ASSERT_NE(block, 0u);
    bytes[block + 9] = static_cast<char>((bytes[block + 9] & 0x0F) | (type << 4));
}

// Returns the export `name` (or ordinal) as GetASPI32SupportInfo's type.
SupportInfoProc SupportInfo(HMODULE module, LPCSTR name) {
    return reinterpret_cast<SupportInfoProc>(
        reinterpret_cast<void (*)(void)>(GetProcAddress(module, name)));
}

class PeLoaderTest : public ::testing::Test {
protected:
    void SetUp() override { sim::InstallDefaultMachine(); }
    void TearDown() override { sim::UninstallMachine(); }
};

TEST_F(PeLoaderTest, RefusesWhatIsNotAnI386DllAndNamesAMissingImport) {
    REQUIRE_DLL();
    const struct {
        const char* what;
        void (*patch)(std::vector<char>&);
        DWORD error;
        const char* message;
    } cases[] = {
        {"signature", [](std::vector<char>& b) { b[NewHeader(b) + 1] = 'X'; }, 193,
         "no PE signature"},
        {"machine", [](std::vector<char>& b) { b[NewHeader(b) + 5] = 0x86; }, 193, "not i386"},
        {"magic", [](std::vector<char>& b) { b[NewHeader(b) + 25] = 0x02; }, 193, "not PE32"},
        {"dll flag", [](std::vector<char>& b) { b[NewHeader(b) + 23] &= 0x1F; }, 193, "not a DLL"},
        {"function", [](std::vector<char>& b) { ReplaceText(b, "VirtualQuery", "VirtualQuerx"); },
         127, "KERNEL32.dll!VirtualQuerx: not provided"},
        {"dll", [](std::vector<char>& b) { ReplaceText(b, "USER32.dll", "USERXX.dll"); }, 126,
         "USERXX.dll: DLL not provided"},
        {"ordinal", [](std::vector<char>& b) { ImportByOrdinal(b, "wsprintfA", 2); }, 182,
         "USER32.dll!#2: not provided"},
        {"relocation", [](std::vector<char>& b) { RelocationType(b, 10); }, 193,
         "base relocation type 10 not supported"},
    };
    const size_t images = sim::MappedImageCount();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string path = PatchedCopy(c.patch);
        EXPECT_EQ(LoadLibraryA(path.c_str()), nullptr);
        EXPECT_EQ(GetLastError(), c.error);
        EXPECT_NE(sim::LastLoadError().find(c.message), std::string::npos) << sim::LastLoadError();
        EXPECT_EQ(sim::MappedImageCount(), images);
        EXPECT_EQ(sim::LoadedModuleCount(), 0u);
    }
}

TEST_F(PeLoaderTest, ImportsByOrdinalAreBound) {
    REQUIRE_DLL();
    const std::string path =
        PatchedCopy([](std::vector<char>& b) { ImportByOrdinal(b, "wsprintfA", 1); });
    HMODULE module = LoadLibraryA(path.c_str());
    ASSERT_NE(module, nullptr) << sim::LastLoadError();
    EXPECT_EQ(SupportInfo(module, "GetASPI32SupportInfo")(), 0x0103u);  // names built by wsprintfA
    EXPECT_TRUE(FreeLibrary(module));
}

TEST_F(PeLoaderTest, ExportsByOrdinalAreTheNamedOnes) {
    REQUIRE_DLL();
    HMODULE module = LoadLibraryA(dllPath.c_str());
    ASSERT_NE(module, nullptr) << sim::LastLoadError();
    EXPECT_EQ(GetModuleHandleA("PTASPI32"), module);
    SupportInfoProc first = SupportInfo(module, MAKEINTRESOURCE(1));
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first, SupportInfo(module, "GetASPI32SupportInfo"));
    EXPECT_EQ(SupportInfo(module, MAKEINTRESOURCE(2)), SupportInfo(module, "SendASPI32Command"));
    EXPECT_EQ(first(), 0x0103u);  // SS_COMP, three host adapters
    for (LPCSTR missing : std::vector<LPCSTR>{MAKEINTRESOURCE(0), MAKEINTRESOURCE(3), "DllMain"}) {
        EXPECT_EQ(SupportInfo(module, missing), nullptr);
        EXPECT_EQ(GetLastError(), DWORD(ERROR_PROC_NOT_FOUND));
    }
    EXPECT_TRUE(FreeLibrary(module));
}

TEST_F(PeLoaderTest, ForwardedExportsAreRefused) {
    REQUIRE_DLL();
    // The first export's address moved into the export directory, where a
    // forwarder's "DLL.Function" text would be.
    const std::string path = PatchedCopy([](std::vector<char>& b) {
        const uint32_t directory = DirectoryRva(b, 0);
        uint32_t functions;
        std::memcpy(&functions, &b[OffsetOf(b, directory) + 28], 4);
        const uint32_t inside = directory + 4;
        std::memcpy(&b[OffsetOf(b, functions)], &inside, 4);
    });
    HMODULE module = LoadLibraryA(path.c_str());
    ASSERT_NE(module, nullptr) << sim::LastLoadError();
    EXPECT_EQ(SupportInfo(module, MAKEINTRESOURCE(1)), nullptr);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_PROC_NOT_FOUND));
    EXPECT_NE(SupportInfo(module, MAKEINTRESOURCE(2)), nullptr);
    EXPECT_TRUE(FreeLibrary(module));
}

TEST_F(PeLoaderTest, RunsRelocatedWhenItsPreferredBaseIsTaken) {
    REQUIRE_DLL();
    HMODULE module = LoadLibraryA(dllPath.c_str());
    ASSERT_NE(module, nullptr);
    void* preferred = module;
    FreeLibrary(module);
    void* taken =
        mmap(preferred, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED_NOREPLACE, -1, 0);
    ASSERT_EQ(taken, preferred);
    module = LoadLibraryA(dllPath.c_str());
    ASSERT_NE(module, nullptr) << sim::LastLoadError();
    EXPECT_NE(static_cast<void*>(module), preferred);
    EXPECT_EQ(SupportInfo(module, "GetASPI32SupportInfo")(), 0x0103u);
    EXPECT_TRUE(FreeLibrary(module));
    munmap(taken, 4096);
}

TEST_F(PeLoaderTest, PagesAreProtectedBySection) {
    REQUIRE_DLL();
    HMODULE module = LoadLibraryA(dllPath.c_str());
    ASSERT_NE(module, nullptr);
    MEMORY_BASIC_INFORMATION info;
    const BYTE* code = reinterpret_cast<const BYTE*>(SupportInfo(module, MAKEINTRESOURCE(1)));
    const struct {
        const void* address;
        DWORD protect;
    } cases[] = {{module, PAGE_READONLY}, {code, PAGE_EXECUTE_READ}, {&info, PAGE_NOACCESS}};
    for (const auto& c : cases) {
        ASSERT_EQ(VirtualQuery(c.address, &info, sizeof info), sizeof info);
        EXPECT_EQ(info.Protect, c.protect) << c.address;
    }
    EXPECT_EQ(info.State, DWORD(MEM_FREE));  // the stack is not the machine's
    DWORD old = 0;
    ASSERT_TRUE(VirtualProtect(const_cast<BYTE*>(code), 1, PAGE_EXECUTE_READWRITE, &old));
    EXPECT_EQ(old, DWORD(PAGE_EXECUTE_READ));
    ASSERT_EQ(VirtualQuery(code, &info, sizeof info), sizeof info);
    EXPECT_EQ(info.Protect, DWORD(PAGE_EXECUTE_READWRITE));
    EXPECT_EQ(info.Type, DWORD(MEM_IMAGE));
    EXPECT_EQ(info.AllocationBase, static_cast<void*>(module));
    EXPECT_TRUE(FreeLibrary(module));
}

// Returns the 32-bit value at `offset` of the block %fs names.
uint32_t ReadFs(uint32_t offset) {
    uint32_t value;
    __asm__ volatile("movl %%fs:(%1), %0" : "=r"(value) : "r"(offset));
    return value;
}

struct BlockSeen {
    uint32_t self, chain, base, limit;
    uintptr_t local, block;
    uint32_t thread;
    size_t blocks;  // how many carry the thread's id
};

// Returns nothing; records the calling thread's block as %fs shows it.
void RecordBlock(BlockSeen* seen) {
    seen->block = reinterpret_cast<uintptr_t>(sim::CurrentThreadEnvironment());
    seen->self = ReadFs(sim::TebSelf);
    seen->thread = ReadFs(sim::TebThreadId);
    seen->blocks = sim::ThreadEnvironmentCount(seen->thread);
    seen->chain = ReadFs(sim::TebExceptionList);
    seen->base = ReadFs(sim::TebStackBase);
    seen->limit = ReadFs(sim::TebStackLimit);
    seen->local = reinterpret_cast<uintptr_t>(&seen);
}

std::atomic<bool> recorded{false};

void __cdecl RecordBlockThread(void* seen) {
    RecordBlock(static_cast<BlockSeen*>(seen));
    recorded = true;
}

TEST_F(PeLoaderTest, EveryThreadFindsItsOwnEnvironmentBlockBehindFs) {
    BlockSeen loading = {}, started = {};
    ASSERT_NE(sim::CurrentThreadEnvironment(), nullptr);
    RecordBlock(&loading);
    ASSERT_NE(_beginthread(&RecordBlockThread, 0, &started), uintptr_t(-1));
    for (int waited = 0; !recorded && waited < 5000; ++waited) Sleep(1);
    ASSERT_TRUE(recorded);
    // The thread's block goes with it.
    for (int waited = 0; sim::ThreadEnvironmentCount(started.thread) != 0 && waited < 5000;
         ++waited)
        Sleep(1);
    EXPECT_EQ(sim::ThreadEnvironmentCount(started.thread), 0u);
    // A thread made outside the simulator has its own from its first call
    // in, whichever call that is, and one only: it goes with the thread.
    BlockSeen other = {}, first = {};
    std::thread([&] {
        GetCurrentThreadId();
        RecordBlock(&other);
    }).join();
    std::thread([&] { RecordBlock(&first); }).join();
    EXPECT_NE(started.self, loading.self);
    EXPECT_NE(other.self, loading.self);
    for (const BlockSeen* seen : {&loading, &started, &other, &first}) {
        EXPECT_EQ(seen->self, seen->block);
        EXPECT_EQ(seen->blocks, 1u);
        EXPECT_EQ(sim::ThreadEnvironmentCount(seen->thread), seen == &loading ? 1u : 0u);
        EXPECT_EQ(seen->chain, 0xFFFFFFFFu);
        EXPECT_LT(seen->limit, seen->local);
        EXPECT_GT(seen->base, seen->local);
    }
}

TEST_F(PeLoaderTest, HundredLoadsLeaveNothingMapped) {
    REQUIRE_DLL();
    const size_t images = sim::MappedImageCount();
    for (int round = 0; round < 100; ++round) {
        HMODULE module = LoadLibraryA(dllPath.c_str());
        ASSERT_NE(module, nullptr) << round;
        ASSERT_EQ(sim::MappedImageCount(), images + 1);
        ASSERT_TRUE(FreeLibrary(module));
    }
    EXPECT_EQ(sim::MappedImageCount(), images);
    EXPECT_EQ(sim::LoadedModuleCount(), 0u);
}

// The probe DLL: its TLS callback and entry point log their calls in the
// test's memory (see fixtures/pe_probe.c).
const std::string probePath = PTASPI_PE_PROBE;

#define REQUIRE_PROBE() \
    if (access(probePath.c_str(), R_OK) != 0) GTEST_SKIP() << probePath << " not built"

struct ProbeCall {
    uint32_t kind, module, reason, reserved, thread;  // kind 1: TLS callback, 2: entry point
    bool operator==(const ProbeCall& o) const {
        return kind == o.kind && module == o.module && reason == o.reason &&
               reserved == o.reserved && thread == o.thread;
    }
};

std::ostream& operator<<(std::ostream& out, const ProbeCall& c) {
    return out << "{" << c.kind << " " << std::hex << c.module << std::dec << " " << c.reason
               << " " << c.reserved << " thread " << c.thread << "}";
}

struct ProbeLog {
    uint32_t count;
    ProbeCall calls[64];
};

// Returns the file offset of the optional header.
size_t Optional(const std::vector<char>& bytes) { return NewHeader(bytes) + 24; }

// Returns the file offset of the header of section `name`, 0 without one.
size_t SectionHeaderAt(const std::vector<char>& bytes, const std::string& name) {
    uint16_t count, optionalSize;
    std::memcpy(&count, &bytes[NewHeader(bytes) + 6], 2);
    std::memcpy(&optionalSize, &bytes[NewHeader(bytes) + 20], 2);
    for (size_t at = Optional(bytes) + optionalSize; count-- != 0; at += 40) {
        if (name.compare(0, 8, &bytes[at], strnlen(&bytes[at], 8)) == 0) return at;
    }
    return 0;
}

// Returns the path of a copy of the probe named `name`, logging to `log`.
std::string ProbeCopy(const std::string& name, ProbeLog* log,
                      void (*patch)(std::vector<char>&) = nullptr) {
    std::vector<char> bytes = ReadBytes(probePath);
    const char marker[] = "LOG!";
    auto at = std::search(bytes.begin(), bytes.end(), marker, marker + 4);
    if (at != bytes.end()) Put32(bytes, at - bytes.begin(), uint32_t(uintptr_t(log)));
    if (patch != nullptr) patch(bytes);
    return WriteCopy(bytes, name);
}

// Returns the probe's preferred base.
void* ProbeBase() {
    const std::vector<char> bytes = ReadBytes(probePath);
    return reinterpret_cast<void*>(uintptr_t(Get32(bytes, Optional(bytes) + 28)));
}

// Takes the probe's preferred base for its lifetime.
struct BaseTaken {
    void* taken = mmap(ProbeBase(), 4096, PROT_NONE,
                       MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED_NOREPLACE, -1, 0);
    ~BaseTaken() {
        if (taken != MAP_FAILED) munmap(taken, 4096);
    }
};

typedef int(__cdecl* ProbeProc)(void);

ProbeProc ProbeExport(HMODULE module, LPCSTR name) {
    return reinterpret_cast<ProbeProc>(
        reinterpret_cast<void (*)(void)>(GetProcAddress(module, name)));
}

// Each call of an entry point comes after the same call of the TLS
// callback; process attach and detach come with a null reserved, on the
// loading thread; a new thread's attach and detach reach the modules on
// that thread, in load order and in reverse; process exit comes with a
// non-null reserved.
TEST_F(PeLoaderTest, TlsCallbacksRunBeforeTheEntryPointWithItsArguments) {
    REQUIRE_PROBE();
    ProbeLog log = {};
    const std::string first = ProbeCopy("probe-first", &log);
    HMODULE a = LoadLibraryA(first.c_str());
    HMODULE b = LoadLibraryA(ProbeCopy("probe-second", &log).c_str());
    ASSERT_NE(a, nullptr) << sim::LastLoadError();
    ASSERT_NE(b, nullptr) << sim::LastLoadError();
    std::atomic<uint32_t> started{0};
    HANDLE gate = CreateEventA(nullptr, TRUE, FALSE, nullptr);  // the thread's handle is ours first
    HANDLE thread = kernel_test::Duplicate(reinterpret_cast<HANDLE>(kernel_test::StartThread([&] {
        started = GetCurrentThreadId();
        WaitForSingleObject(gate, INFINITE);
    })));
    SetEvent(gate);
    ASSERT_EQ(WaitForSingleObject(thread, 5000), WAIT_OBJECT_0);
    CloseHandle(thread);
    CloseHandle(gate);
    EXPECT_TRUE(FreeLibrary(b));
    EXPECT_TRUE(FreeLibrary(a));
    const uint32_t self = GetCurrentThreadId();
    const struct {
        HMODULE module;
        DWORD reason;
        uint32_t thread;
    } order[] = {{a, DLL_PROCESS_ATTACH, self},   {b, DLL_PROCESS_ATTACH, self},
                 {a, DLL_THREAD_ATTACH, started}, {b, DLL_THREAD_ATTACH, started},
                 {b, DLL_THREAD_DETACH, started}, {a, DLL_THREAD_DETACH, started},
                 {b, DLL_PROCESS_DETACH, self},   {a, DLL_PROCESS_DETACH, self}};
    std::vector<ProbeCall> expected, seen;
    for (const auto& o : order) {
        for (uint32_t kind : {1u, 2u})
            expected.push_back({kind, uint32_t(uintptr_t(o.module)), o.reason, 0, o.thread});
    }
    for (const ProbeCall& call : std::vector<ProbeCall>(log.calls, log.calls + log.count)) {
        // Other tests' threads may come and go meanwhile.
        if (call.thread == self || call.thread == started) seen.push_back(call);
    }
    EXPECT_EQ(seen, expected);
    a = LoadLibraryA(first.c_str());
    ASSERT_NE(a, nullptr);
    log.count = 0;
    ASSERT_TRUE(sim::SimulateProcessExit());
    ASSERT_EQ(log.count, 2u);
    for (uint32_t kind : {1u, 2u}) {
        const ProbeCall& call = log.calls[kind - 1];
        EXPECT_EQ(call.kind, kind);
        EXPECT_EQ(call.reason, DWORD(DLL_PROCESS_DETACH));
        EXPECT_NE(call.reserved, 0u);
    }
    EXPECT_EQ(log.calls[0].reserved, log.calls[1].reserved);
}

// Ordinals count from the export directory's base (5 here; 6 is a gap),
// and GetModuleHandleA takes no reference: one FreeLibrary unloads.
TEST_F(PeLoaderTest, OrdinalsCountFromTheBaseAndGetModuleHandleTakesNoReference) {
    REQUIRE_PROBE();
    ProbeLog log = {};
    const size_t images = sim::MappedImageCount();
    HMODULE module = LoadLibraryA(ProbeCopy("probe-exports", &log).c_str());
    ASSERT_NE(module, nullptr) << sim::LastLoadError();
    ASSERT_NE(ProbeExport(module, "ProbeFive"), nullptr);
    EXPECT_EQ(ProbeExport(module, MAKEINTRESOURCE(5)), ProbeExport(module, "ProbeFive"));
    EXPECT_EQ(ProbeExport(module, MAKEINTRESOURCE(7)), ProbeExport(module, "ProbeSeven"));
    EXPECT_EQ(ProbeExport(module, MAKEINTRESOURCE(5))(), 5);
    for (WORD missing : {4, 6, 8}) {
        EXPECT_EQ(ProbeExport(module, MAKEINTRESOURCE(missing)), nullptr) << missing;
        EXPECT_EQ(GetLastError(), DWORD(ERROR_PROC_NOT_FOUND));
    }
    const std::string name = "probe-exports-" + std::to_string(getpid());
    EXPECT_EQ(GetModuleHandleA(name.c_str()), module);
    EXPECT_TRUE(FreeLibrary(module));
    EXPECT_EQ(sim::MappedImageCount(), images);
    EXPECT_EQ(GetModuleHandleA(name.c_str()), nullptr);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_MOD_NOT_FOUND));
}

// Returns the probe's bytes as an image moved by `delta` holds them: every
// HIGHLOW site plus `delta`; the number of ABSOLUTE entries in *padding.
std::vector<char> MovedBytes(const std::vector<char>& file, uint32_t delta, int* padding) {
    std::vector<char> moved = file;
    const uint32_t directory = DirectoryRva(file, 5);
    const uint32_t size = Get32(file, Optional(file) + 96 + 8 * 5 + 4);
    for (uint32_t at = 0; at < size;) {
        const uint32_t block = OffsetOf(file, directory + at);
        const uint32_t page = Get32(file, block), blockSize = Get32(file, block + 4);
        for (uint32_t entry = 8; entry + 2 <= blockSize; entry += 2) {
            uint16_t value;
            std::memcpy(&value, &file[block + entry], 2);
            if (value >> 12 == 0) ++*padding;
            if (value >> 12 != 3) continue;
            const uint32_t site = OffsetOf(file, page + (value & 0xFFF));
            Put32(moved, site, Get32(moved, site) + delta);
        }
        at += blockSize;
    }
    return moved;
}

// With its preferred base taken, the image lands on a 64 KiB boundary
// (three images side by side, so no chance placement passes), each HIGHLOW
// site moved by exactly the distance and nothing else changed: ABSOLUTE
// entries are padding.
TEST_F(PeLoaderTest, AMovedImageHasEveryHighLowSiteMovedByTheDistance) {
    REQUIRE_PROBE();
    BaseTaken base;
    ProbeLog log = {};
    std::vector<HMODULE> modules;
    for (const char* name : {"probe-moved-1", "probe-moved-2", "probe-moved-3"}) {
        const std::vector<char> file = ReadBytes(ProbeCopy(name, &log));
        HMODULE module = LoadLibraryA(ProbeCopy(name, &log).c_str());
        ASSERT_NE(module, nullptr) << sim::LastLoadError();
        modules.push_back(module);
        EXPECT_EQ(uintptr_t(module) % 0x10000, 0u) << module;
        const uint32_t preferred = Get32(file, Optional(file) + 28);
        ASSERT_NE(uintptr_t(module), preferred);
        int padding = 0;
        const std::vector<char> moved =
            MovedBytes(file, uint32_t(uintptr_t(module)) - preferred, &padding);
        EXPECT_GT(padding, 0);
        std::vector<SectionPlace> places = SectionPlaces(file);
        places.push_back({0, Get32(file, Optional(file) + 60), 0});  // the headers
        for (const SectionPlace& place : places) {
            const char* image = reinterpret_cast<const char*>(module) + place.Rva;
            EXPECT_TRUE(std::equal(image, image + place.Size, &moved[place.Offset])) << place.Rva;
        }
        EXPECT_EQ(ProbeExport(module, "ProbeSeven")(), 'o');  // through a moved pointer
    }
    for (HMODULE module : modules) EXPECT_TRUE(FreeLibrary(module));
}

TEST_F(PeLoaderTest, RefusesBadHeadersAndAStrippedImageWhoseBaseIsTaken) {
    REQUIRE_PROBE();
    BaseTaken base;
    typedef std::vector<char> Bytes;
    const struct {
        const char* what;
        void (*patch)(Bytes&);
        const char* message;
    } cases[] = {
        {"executable", [](Bytes& b) { b[NewHeader(b) + 22] &= ~2; }, "not marked executable"},
        {"alignment", [](Bytes& b) { Put32(b, Optional(b) + 32, 0x800); }, "section alignment"},
        {"base", [](Bytes& b) { Put32(b, Optional(b) + 28, 0x6E001000); },
         "not a multiple of 64 KiB"},
        {"section size", [](Bytes& b) { Put32(b, SectionHeaderAt(b, ".reloc") + 8, 0x10000); },
         "section .reloc lies outside the image"},
        {"section data", [](Bytes& b) { Put32(b, SectionHeaderAt(b, ".reloc") + 20, b.size()); },
         "section .reloc lies outside the file"},
        {"directory", [](Bytes& b) { Put32(b, Optional(b) + 96, Get32(b, Optional(b) + 56)); },
         "a data directory lies outside the image"},
        {"entry point", [](Bytes& b) { Put32(b, Optional(b) + 16, Get32(b, Optional(b) + 56)); },
         "the entry point lies outside the image"},
        {"relocation block",
         [](Bytes& b) {  // the last block runs past the table's end
             const uint32_t first = OffsetOf(b, DirectoryRva(b, 5));
             const uint32_t last = first + Get32(b, first + 4);
             Put32(b, last + 4, Get32(b, last + 4) + 4);
         },
         "malformed base relocation block"},
        {"import table",
         [](Bytes& b) {
             Put32(b, Optional(b) + 96 + 8, Get32(b, Optional(b) + 56) - 8);
             Put32(b, Optional(b) + 96 + 12, 8);
         },
         "import table runs off the image"},
        {"stripped", [](Bytes& b) { b[NewHeader(b) + 22] |= 1; }, "relocations stripped"},
    };
    const size_t images = sim::MappedImageCount();
    ProbeLog log = {};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        SetLastError(0);
        EXPECT_EQ(LoadLibraryA(ProbeCopy("probe-refused", &log, c.patch).c_str()), nullptr);
        EXPECT_EQ(GetLastError(), DWORD(ERROR_BAD_EXE_FORMAT));
        EXPECT_NE(sim::LastLoadError().find(c.message), std::string::npos) << sim::LastLoadError();
        EXPECT_EQ(sim::MappedImageCount(), images);
    }
    EXPECT_EQ(log.count, 0u);
}

// Returns true when the system may read (with `write`, write) the byte at
// `address`, as the process's own accesses may.
bool Accessible(void* address, bool write) {
    int ends[2];
    if (pipe(ends) != 0) return false;
    char byte;
    bool done = ::write(ends[1], address, 1) == 1;
    if (write) done = done && read(ends[0], &byte, 1) == 1 && ::write(ends[1], &byte, 1) == 1 &&
                      read(ends[0], address, 1) == 1;  // the same byte back
    close(ends[0]);
    close(ends[1]);
    return done;
}

TEST_F(PeLoaderTest, ReadOnlySectionsAreNotWritableAndGapsNotAccessible) {
    REQUIRE_PROBE();
    ProbeLog log = {};
    const std::vector<char> file = ReadBytes(probePath);
    HMODULE module = LoadLibraryA(ProbeCopy("probe-pages", &log).c_str());
    ASSERT_NE(module, nullptr) << sim::LastLoadError();
    char* base = reinterpret_cast<char*>(module);
    const auto at = [&](const char* section) {  // sections are under a page, 8 KiB apart
        EXPECT_LE(Get32(file, SectionHeaderAt(file, section) + 8), 4096u) << section;
        return base + Get32(file, SectionHeaderAt(file, section) + 12);
    };
    const struct {
        char* address;
        DWORD protect;  // 0: not checked
        bool read, write;
    } cases[] = {
        {base, PAGE_READONLY, true, false},            {base + 4096, PAGE_NOACCESS, false, false},
        {at(".text"), PAGE_EXECUTE_READ, true, false}, {at(".rdata"), PAGE_READONLY, true, false},
        {at(".rdata") + 4096, PAGE_NOACCESS, false, false}, {at(".data"), 0, true, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.address - base);
        MEMORY_BASIC_INFORMATION info;
        ASSERT_EQ(VirtualQuery(c.address, &info, sizeof info), sizeof info);
        if (c.protect != 0) {
            EXPECT_EQ(info.Protect, c.protect);
        }
        EXPECT_EQ(Accessible(c.address, false), c.read);
        EXPECT_EQ(Accessible(c.address, true), c.write);
    }
    EXPECT_TRUE(FreeLibrary(module));
}

}  // namespace
