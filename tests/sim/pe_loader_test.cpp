// The PE loader on the project's own Windows DLL: header refusals, a
// missing import named, relocation away from the preferred base, exports
// by ordinal, page protections, the thread environment block, and loads
// that leave nothing mapped.
#include "sim/kernel/teb.h"
#include "sim/loader/loader.h"
#include "sim/sim.h"

#include <gtest/gtest.h>

#include <process.h>
#include <windows.h>

#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

namespace {

typedef DWORD(__cdecl* SupportInfoProc)(void);

const std::string dllPath = PTASPI_WINDOWS_DLL;

#define REQUIRE_DLL() \
    if (access(dllPath.c_str(), R_OK) != 0) GTEST_SKIP() << dllPath << " not built"

// Returns the bytes of the Windows DLL.
std::vector<char> ReadDll() {
    std::ifstream in(dllPath, std::ios::binary);
    return std::vector<char>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Returns the path of a copy of the DLL with `patch` applied.
template <class Patch>
std::string PatchedCopy(Patch patch) {
    std::vector<char> bytes = ReadDll();
    patch(bytes);
    // One name per process: ctest runs the loader tests side by side.
    const std::string path =
        ::testing::TempDir() + "/patched-ptaspi32-" + std::to_string(getpid()) + ".dll";
    std::ofstream(path, std::ios::binary)
        .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return path;
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
        {"ordinal", [](std::vector<char>& b) { ImportByOrdinal(b, "wsprintfA", 2); }, 127,
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
};

// Returns nothing; records the calling thread's block as %fs shows it.
void RecordBlock(BlockSeen* seen) {
    seen->block = reinterpret_cast<uintptr_t>(sim::CurrentThreadEnvironment());
    seen->self = ReadFs(sim::TebSelf);
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
    const size_t blocks = sim::ThreadEnvironmentCount();
    RecordBlock(&loading);
    ASSERT_NE(_beginthread(&RecordBlockThread, 0, &started), uintptr_t(-1));
    for (int waited = 0; !recorded && waited < 5000; ++waited) Sleep(1);
    ASSERT_TRUE(recorded);
    // The thread's block goes with it.
    for (int waited = 0; sim::ThreadEnvironmentCount() != blocks && waited < 5000; ++waited)
        Sleep(1);
    EXPECT_EQ(sim::ThreadEnvironmentCount(), blocks);
    // A thread made outside the simulator has its own from its first call
    // in, whichever call that is, and one only: it goes with the thread.
    BlockSeen other = {}, first = {};
    std::thread([&] {
        GetCurrentThreadId();
        RecordBlock(&other);
    }).join();
    std::thread([&] { RecordBlock(&first); }).join();
    EXPECT_EQ(sim::ThreadEnvironmentCount(), blocks);
    EXPECT_NE(started.self, loading.self);
    EXPECT_NE(other.self, loading.self);
    for (const BlockSeen& seen : {loading, started, other, first}) {
        EXPECT_EQ(seen.self, seen.block);
        EXPECT_EQ(seen.chain, 0xFFFFFFFFu);
        EXPECT_LT(seen.limit, seen.local);
        EXPECT_GT(seen.base, seen.local);
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

}  // namespace
