// Fuzz target of the PE loader: arbitrary bytes taken as LoadLibraryA takes
// a file, mapped and bound but never run (no entry point, no TLS callback).
// Every input is mapped twice while both stay mapped, so that the second
// mapping is moved off the preferred base and its relocations applied.
// A refusal must carry one of the loader's errors and a reason; an image
// the loader accepts must answer export lookups, by name and by ordinal,
// with addresses inside itself, and relocation must not decide what the
// first placement accepted.
#include "sim/loader/pe/pe_format.h"
#include "sim/loader/pe/pe_image.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

void Fail(const char* what, const std::string& detail) {
    fprintf(stderr, "invariant broken: %s (%s)\n", what, detail.c_str());
    abort();
}

// Returns true when [address, address + size) lies in readable pages of
// a mapped image.
bool Readable(const unsigned char* address, size_t size) {
    for (size_t at = 0; at < size;) {
        MEMORY_BASIC_INFORMATION info;
        if (!sim::QueryImageMemory(address + at, &info)) return false;
        if (info.Protect == PAGE_NOACCESS || info.Protect == PAGE_EXECUTE) return false;
        at = static_cast<const unsigned char*>(info.BaseAddress) + info.RegionSize - address;
    }
    return true;
}

// Returns the export names of the image (at most 64 of them, each cut at
// 256 characters), read as a client of the image would read them.
std::vector<std::string> ExportNames(const sim::PeImage& image) {
    std::vector<std::string> names;
    sim::pe::ExportDirectory directory;
    if (image.ExportRva == 0 || !Readable(image.Base + image.ExportRva, sizeof directory))
        return names;
    std::memcpy(&directory, image.Base + image.ExportRva, sizeof directory);
    for (uint32_t i = 0; i < directory.NumberOfNames && i < 64; ++i) {
        const uint64_t at = uint64_t(directory.AddressOfNames) + 4 * i;
        uint32_t rva;
        if (at + 4 > image.Size || !Readable(image.Base + at, 4)) break;
        std::memcpy(&rva, image.Base + at, 4);
        std::string name;
        for (uint32_t c = rva; c < image.Size && name.size() < 256; ++c) {
            if (!Readable(image.Base + c, 1) || image.Base[c] == 0) break;
            name += static_cast<char>(image.Base[c]);
        }
        names.push_back(name);
    }
    return names;
}

// Returns nothing; looks up every export the image names, a name it does
// not have and the ordinals around its own, and checks each answer.
void LookUpExports(const sim::PeImage& image) {
    std::vector<std::string> names = ExportNames(image);
    names.push_back("NoSuchExport");
    const auto check = [&](const char* name, const std::string& what) {
        const unsigned char* found = static_cast<unsigned char*>(sim::FindPeExport(image, name));
        if (found != nullptr && (found < image.Base || found >= image.Base + image.Size))
            Fail("export outside the image", what);
    };
    for (const std::string& name : names) check(name.c_str(), name);
    for (uintptr_t ordinal = 0; ordinal < 0x10000; ordinal = ordinal < 70 ? ordinal + 1 : ordinal * 2 + 1)
        check(reinterpret_cast<const char*>(ordinal), "#" + std::to_string(ordinal));
    sim::PeTlsCallbacks(image);  // read, never called
}

// Returns nothing; aborts when a refusal is not one the loader promises.
void CheckRefusal(DWORD error, const std::string& message) {
    if (message.empty()) Fail("refusal without a reason", std::to_string(error));
    if (error != ERROR_BAD_EXE_FORMAT && error != ERROR_MOD_NOT_FOUND &&
        error != ERROR_PROC_NOT_FOUND && error != 182 && error != ERROR_NOT_ENOUGH_MEMORY)
        Fail("unexpected error", std::to_string(error) + ": " + message);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<unsigned char> file(data, data + size);
    // The loader takes DLLs only; an EXE's tables are parsed as a DLL's.
    uint32_t newHeader = 0;
    const size_t characteristicsAt = 4 + offsetof(sim::pe::FileHeader, Characteristics);
    if (size >= 0x40) std::memcpy(&newHeader, data + sim::pe::DosNewHeaderOffset, 4);
    if (size >= 0x40 && newHeader < size && size - newHeader >= characteristicsAt + 2)
        file[newHeader + characteristicsAt + 1] |= sim::pe::FileDll >> 8;

    sim::PeImage first, moved;
    DWORD error = 0;
    std::string message;
    if (!sim::MapPeImage(file, &first, &error, &message)) {
        CheckRefusal(error, message);
        return 0;
    }
    LookUpExports(first);
    message.clear();
    if (sim::MapPeImage(file, &moved, &error, &message)) {
        if (moved.Base == first.Base) Fail("two images at one base", "");
        LookUpExports(moved);
        sim::UnmapPeImage(&moved);
    } else {
        CheckRefusal(error, message);
        if (error != ERROR_NOT_ENOUGH_MEMORY &&
            message != "preferred base taken and relocations stripped")
            Fail("refused only when moved", message);
    }
    sim::UnmapPeImage(&first);
    if (sim::MappedPeImageCount() != 0) Fail("an image left mapped", "");
    return 0;
}
