// Fuzz target of the PE loader: arbitrary bytes taken as LoadLibraryA takes
// a file, mapped and bound but never run (no entry point, no TLS callback).
// Every input is mapped twice while both stay mapped, so that the second
// mapping is moved off the preferred base and its relocations applied.
// Then the page that the file header's time stamp (which the loader
// ignores) numbers is taken away, as VirtualProtect may take it, and the
// lookups are made again. A refusal must carry one of the loader's errors
// and a reason; an accepted image must have its tables readable and
// answer export lookups with addresses inside itself.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "sim/loader/pe/pe_format.h"
#include "sim/loader/pe/pe_image.h"

namespace {

void Fail(const char* what, const std::string& detail) {
    fprintf(stderr, "invariant broken: %s (%s)\n", what, detail.c_str());
    abort();
}

// Returns true when [rva, rva + size) lies in readable pages of the image.
bool Readable(const sim::PeImage& image, uint64_t rva, uint64_t size) {
    if (rva + size > image.Size) return false;
    for (uint64_t page = rva / 4096; page * 4096 < rva + size; ++page) {
        const DWORD protect = image.PageProtection[page];
        if (protect == PAGE_NOACCESS || protect == PAGE_EXECUTE) return false;
    }
    return true;
}

// Returns nothing; looks up the exports of the seeds' images by name and
// by ordinal, a name and ordinals they lack, and the TLS callbacks.
void LookUpExports(const sim::PeImage& image) {
    std::vector<const char*> queries = {"ProbeFive",         "ProbeSeven", "GetASPI32SupportInfo",
                                        "SendASPI32Command", "",           "NoSuchExport"};
    for (uintptr_t ordinal : {0, 1, 2, 3, 5, 6, 7, 8, 0xFFFF})
        queries.push_back(reinterpret_cast<const char*>(ordinal));
    for (const char* query : queries) {
        const auto* found = static_cast<unsigned char*>(sim::FindPeExport(image, query));
        if (found != nullptr && (found < image.Base || found >= image.Base + image.Size))
            Fail("export outside the image", std::to_string(found - image.Base));
    }
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
    static std::vector<unsigned char> file;  // kept, so a long input is not allocated each time
    file.assign(data, data + size);
    const auto field = [&](uint64_t at) {  // 0 past the input's end
        uint32_t value = 0;
        if (at + 4 <= size) std::memcpy(&value, data + at, 4);
        return value;
    };
    const uint64_t fileHeaderAt = uint64_t(field(sim::pe::DosNewHeaderOffset)) + 4;
    // A DLL is mapped as LoadLibraryA maps it, anything else as ntrun
    // maps a program.
    const uint64_t flagsAt = fileHeaderAt + offsetof(sim::pe::FileHeader, Characteristics);
    const bool dll = flagsAt + 2 <= size && (data[flagsAt + 1] & (sim::pe::FileDll >> 8)) != 0;
    const auto map = [&](sim::PeImage* image, DWORD* error, std::string* message) {
        return dll ? sim::MapPeImage(file, image, error, message)
                   : sim::MapPeProgram(file, image, error, message);
    };
    // An image of 16 MiB to 3.75 GiB is mapped like a small one, only
    // with loops over many more pages; leaving those out keeps the rate
    // up, while the sizes near 4 GiB, where arithmetic overflows, stay in.
    const uint32_t imageSize = field(fileHeaderAt + sizeof(sim::pe::FileHeader) +
                                     offsetof(sim::pe::OptionalHeader32, SizeOfImage));
    if (imageSize > 0x1000000 && imageSize < 0xF0000000) return 0;

    sim::PeImage first, moved;
    DWORD error = 0;
    std::string message;
    if (!map(&first, &error, &message)) {
        CheckRefusal(error, message);
        return 0;
    }
    if ((first.TlsRva != 0 && !Readable(first, first.TlsRva, sizeof(sim::pe::TlsDirectory32))) ||
        (first.ExportSize >= sizeof(sim::pe::ExportDirectory) &&
         !Readable(first, first.ExportRva, sizeof(sim::pe::ExportDirectory))))
        Fail("a directory the loader accepted cannot be read", "");
    LookUpExports(first);
    message.clear();
    if (map(&moved, &error, &message)) {
        if (moved.Base == first.Base) Fail("two images at one base", "");
        LookUpExports(moved);
        sim::UnmapPeImage(&moved);
    } else {
        CheckRefusal(error, message);  // relocations may rewrite the image's own tables
    }
    const uint32_t stamp = field(fileHeaderAt + offsetof(sim::pe::FileHeader, TimeDateStamp));
    DWORD old;
    if (stamp != 0) {
        sim::ProtectImageMemory(first.Base + stamp % (first.Size / 4096) * 4096, 1, PAGE_NOACCESS,
                                &old);
        LookUpExports(first);
    }
    sim::UnmapPeImage(&first);
    if (sim::MappedPeImageCount() != 0) Fail("an image left mapped", "");
    return 0;
}
