// Mapping a PE32 DLL: header checks, placement at the preferred base or
// elsewhere with base relocations, and page protections set only after
// relocation and import binding, as NT's loader sets them. The list of
// mapped images serves VirtualQuery, VirtualProtect and the image count.
#include "sim/loader/pe/pe_image.h"

#include "sim/loader/pe/pe_format.h"

#include <sys/mman.h>

#include <algorithm>
#include <cstring>
#include <mutex>

namespace sim {
namespace {

const uint32_t PageSize = 4096;
const uint32_t AllocationGranularity = 0x10000;

struct ImageList {
    std::mutex Lock;
    std::vector<PeImage*> Images;
};

// Returns the list of mapped images, created once and never destroyed.
ImageList& Images() {
    static auto* list = new ImageList;
    return *list;
}

// Returns true with sizeof(T) bytes at `offset` of `bytes` copied to *out.
template <class T>
bool ReadAt(const std::vector<unsigned char>& bytes, size_t offset, T* out) {
    if (offset > bytes.size() || bytes.size() - offset < sizeof(T)) return false;
    std::memcpy(out, bytes.data() + offset, sizeof(T));
    return true;
}

// Returns `value` rounded up to whole pages (0 when that overflows).
uint32_t PageRound(uint32_t value) {
    return value > UINT32_MAX - (PageSize - 1) ? 0 : (value + PageSize - 1) & ~(PageSize - 1);
}

// Returns false with 193 and `text` as the message.
bool Refuse(DWORD* error, std::string* message, const std::string& text) {
    *error = ERROR_BAD_EXE_FORMAT;
    *message = text;
    return false;
}

struct Headers {
    pe::FileHeader File;
    pe::OptionalHeader32 Optional;
    std::vector<pe::SectionHeader> Sections;
};

// Returns true with the headers of a PE32 i386 DLL (an EXE when `program`)
// read and checked.
bool ReadHeaders(const std::vector<unsigned char>& file, Headers* headers, DWORD* error,
                 std::string* message, bool program) {
    uint16_t dosMagic = 0;
    uint32_t newHeader = 0;
    uint32_t signature = 0;
    if (!ReadAt(file, 0, &dosMagic) || dosMagic != pe::DosMagic) {
        return Refuse(error, message, "no MZ header");
    }
    if (!ReadAt(file, pe::DosNewHeaderOffset, &newHeader) || !ReadAt(file, newHeader, &signature) ||
        signature != pe::Signature) {
        return Refuse(error, message, "no PE signature");
    }
    const size_t fileHeaderAt = size_t(newHeader) + 4;
    if (!ReadAt(file, fileHeaderAt, &headers->File)) return Refuse(error, message, "truncated");
    const pe::FileHeader& fileHeader = headers->File;
    if (fileHeader.Machine != pe::MachineI386) {
        return Refuse(error, message, "machine is not i386 (0x14C)");
    }
    if (((fileHeader.Characteristics & pe::FileDll) != 0) == program) {
        return Refuse(error, message, program ? "a DLL, not a program" : "not a DLL");
    }
    if ((fileHeader.Characteristics & pe::FileExecutable) == 0) {
        return Refuse(error, message, "not marked executable");
    }
    const size_t optionalAt = fileHeaderAt + sizeof(pe::FileHeader);
    const size_t fixedPart = offsetof(pe::OptionalHeader32, Directories);
    uint16_t magic = 0;
    if (!ReadAt(file, optionalAt, &magic) || magic != pe::OptionalMagicPe32) {
        return Refuse(error, message, "optional header is not PE32 (0x10B)");
    }
    std::memset(&headers->Optional, 0, sizeof headers->Optional);
    const size_t optionalSize = fileHeader.SizeOfOptionalHeader;
    if (optionalSize < fixedPart || optionalAt + optionalSize > file.size()) {
        return Refuse(error, message, "optional header truncated");
    }
    std::memcpy(&headers->Optional, file.data() + optionalAt,
                std::min(optionalSize, sizeof headers->Optional));
    pe::OptionalHeader32& optional = headers->Optional;
    const size_t directories = (optionalSize - fixedPart) / sizeof(pe::DataDirectory);
    if (optional.NumberOfRvaAndSizes > directories) {
        return Refuse(error, message, "more data directories than the header holds");
    }
    for (size_t i = optional.NumberOfRvaAndSizes; i < 16; ++i) optional.Directories[i] = {0, 0};
    if (optional.SectionAlignment == 0 || optional.SectionAlignment % PageSize != 0) {
        return Refuse(error, message, "section alignment is not a multiple of the page size");
    }
    if (optional.ImageBase % AllocationGranularity != 0) {
        return Refuse(error, message, "image base not a multiple of 64 KiB");
    }
    if (PageRound(optional.SizeOfImage) == 0 || optional.SizeOfHeaders > optional.SizeOfImage ||
        optional.SizeOfHeaders > file.size()) {
        return Refuse(error, message, "bad image or header size");
    }
    size_t sectionAt = optionalAt + optionalSize;
    for (unsigned i = 0; i < fileHeader.NumberOfSections; ++i) {
        pe::SectionHeader section;
        if (!ReadAt(file, sectionAt + i * sizeof section, &section)) {
            return Refuse(error, message, "section table truncated");
        }
        const uint64_t virtualEnd =
            uint64_t(section.VirtualAddress) + std::max(section.VirtualSize, section.SizeOfRawData);
        const uint64_t rawEnd = uint64_t(section.PointerToRawData) + section.SizeOfRawData;
        const std::string name(section.Name, strnlen(section.Name, 8));
        if (section.VirtualAddress % optional.SectionAlignment != 0 ||
            section.VirtualAddress < optional.SizeOfHeaders ||
            virtualEnd > PageRound(optional.SizeOfImage)) {
            return Refuse(error, message, "section " + name + " lies outside the image");
        }
        if (section.SizeOfRawData != 0 && rawEnd > file.size()) {
            return Refuse(error, message, "section " + name + " lies outside the file");
        }
        headers->Sections.push_back(section);
    }
    return true;
}

// Returns `size` bytes of fresh memory that begin on a multiple of 64 KiB,
// NT's allocation granularity, or MAP_FAILED.
void* MapOnAllocationBoundary(uint32_t size) {
    const uint32_t slack = AllocationGranularity - PageSize;
    if (size > UINT32_MAX - slack) return MAP_FAILED;
    void* mapped =
        mmap(nullptr, size + slack, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapped == MAP_FAILED) return MAP_FAILED;
    const uintptr_t start = reinterpret_cast<uintptr_t>(mapped);
    const uintptr_t base =
        (start + AllocationGranularity - 1) & ~uintptr_t(AllocationGranularity - 1);
    if (base < start) {  // the boundary past the last one in the address space
        munmap(mapped, size + slack);
        return MAP_FAILED;
    }
    if (base != start) munmap(mapped, base - start);
    if (base - start != slack) {
        munmap(reinterpret_cast<void*>(base + size), slack - (base - start));
    }
    return reinterpret_cast<void*>(base);
}

// Returns the image's base: the preferred one when it is free, otherwise
// any free place on a 64 KiB boundary, as NT places a moved image (or
// MAP_FAILED).
unsigned char* Reserve(uint32_t preferred, uint32_t size, bool mayMove) {
    void* wanted = reinterpret_cast<void*>(uintptr_t(preferred));
    // NT never gives out the first 64 KiB of an address space, so a base
    // there counts as taken; the host would map one there for root.
    void* base = preferred < AllocationGranularity
                     ? MAP_FAILED
                     : mmap(wanted, size, PROT_READ | PROT_WRITE,
                            MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED_NOREPLACE, -1, 0);
    if (base != MAP_FAILED && base != wanted) {
        munmap(base, size);  // a kernel that ignores the flag
        base = MAP_FAILED;
    }
    if (base == MAP_FAILED && mayMove) base = MapOnAllocationBoundary(size);
    return static_cast<unsigned char*>(base);
}

// Returns true once every base relocation is applied for the image's
// distance from its preferred base; false for a malformed block or a
// relocation type other than ABSOLUTE and HIGHLOW.
bool Relocate(PeImage* image, const pe::DataDirectory& directory, uint32_t delta, DWORD* error,
              std::string* message) {
    uint32_t offset = 0;
    while (offset + sizeof(pe::BaseRelocationBlock) <= directory.Size) {
        pe::BaseRelocationBlock block;
        std::memcpy(&block, image->Base + directory.VirtualAddress + offset, sizeof block);
        if (block.SizeOfBlock < sizeof block || block.SizeOfBlock > directory.Size - offset) {
            return Refuse(error, message, "malformed base relocation block");
        }
        const uint32_t entries = (block.SizeOfBlock - sizeof block) / 2;
        for (uint32_t i = 0; i < entries; ++i) {
            uint16_t entry;
            std::memcpy(&entry,
                        image->Base + directory.VirtualAddress + offset + sizeof block + 2 * i,
                        sizeof entry);
            const uint16_t type = entry >> 12;
            const uint32_t target = block.VirtualAddress + (entry & 0xFFF);
            if (type == pe::RelBasedAbsolute) continue;
            if (type != pe::RelBasedHighLow) {
                return Refuse(error, message,
                              "base relocation type " + std::to_string(type) + " not supported");
            }
            if (target > image->Size - 4) return Refuse(error, message, "relocation outside image");
            uint32_t value;
            std::memcpy(&value, image->Base + target, sizeof value);
            value += delta;
            std::memcpy(image->Base + target, &value, sizeof value);
        }
        offset += block.SizeOfBlock;
    }
    return true;
}

// Returns the mmap protection of a Win32 page protection.
int MmapProtection(DWORD protect) {
    switch (protect) {
        case PAGE_READONLY:
            return PROT_READ;
        case PAGE_READWRITE:
        case PAGE_WRITECOPY:
            return PROT_READ | PROT_WRITE;
        case PAGE_EXECUTE:
            return PROT_EXEC;
        case PAGE_EXECUTE_READ:
            return PROT_READ | PROT_EXEC;
        case PAGE_EXECUTE_READWRITE:
        case PAGE_EXECUTE_WRITECOPY:
            return PROT_READ | PROT_WRITE | PROT_EXEC;
        default:
            return PROT_NONE;
    }
}

// Returns true when the directory lies inside the image.
bool InsideImage(const PeImage& image, const pe::DataDirectory& directory) {
    return directory.VirtualAddress <= image.Size &&
           directory.Size <= image.Size - directory.VirtualAddress;
}

// Returns how many bytes from `rva` on, up to `limit`, lie in pages of the
// image that can be read now: the export and TLS tables are read after the
// pages have their protections, which the image or VirtualProtect may have
// made inaccessible.
uint32_t ReadableBytes(const PeImage& image, uint32_t rva, uint32_t limit) {
    uint32_t bytes = 0;
    while (rva < image.Size && bytes < limit &&
           (MmapProtection(image.PageProtection[rva / PageSize]) & PROT_READ) != 0) {
        const uint32_t step = std::min(PageSize - rva % PageSize, limit - bytes);
        bytes += step;
        rva += step;
    }
    return bytes;
}

// Returns true when `bytes` bytes at `rva` can be read.
bool Readable(const PeImage& image, uint32_t rva, uint64_t bytes) {
    return bytes <= UINT32_MAX && ReadableBytes(image, rva, uint32_t(bytes)) == bytes;
}

// Returns true when a NUL-terminated text begins at `rva` and ends in
// readable pages.
bool ReadableText(const PeImage& image, uint32_t rva) {
    for (uint32_t page = PageSize - rva % PageSize; Readable(image, rva, 1); page = PageSize) {
        const uint32_t chunk = ReadableBytes(image, rva, page);
        if (std::memchr(image.Base + rva, 0, chunk) != nullptr) return true;
        rva += chunk;
    }
    return false;
}

// Returns the image that holds `address` (the list's lock held), or null.
PeImage* ImageHolding(uintptr_t address) {
    for (PeImage* image : Images().Images) {
        const uintptr_t base = reinterpret_cast<uintptr_t>(image->Base);
        if (address >= base && address - base < image->Size) return image;
    }
    return nullptr;
}

}  // namespace

DWORD SectionProtection(uint32_t characteristics) {
    const bool execute = (characteristics & pe::ScnMemExecute) != 0;
    const bool read = (characteristics & pe::ScnMemRead) != 0;
    const bool write = (characteristics & pe::ScnMemWrite) != 0;
    if (write) return execute ? PAGE_EXECUTE_READWRITE : PAGE_READWRITE;
    if (execute) return read ? PAGE_EXECUTE_READ : PAGE_EXECUTE;
    return read ? PAGE_READONLY : PAGE_NOACCESS;
}

namespace {

// Returns as MapPeImage does, for a program when `program`.
bool MapImage(const std::vector<unsigned char>& file, PeImage* image, DWORD* error,
              std::string* message, bool program) {
    Headers headers;
    if (!ReadHeaders(file, &headers, error, message, program)) return false;
    const pe::OptionalHeader32& optional = headers.Optional;
    const uint32_t size = PageRound(optional.SizeOfImage);
    const bool mayMove = (headers.File.Characteristics & pe::FileRelocsStripped) == 0;
    image->Base = Reserve(optional.ImageBase, size, mayMove);
    if (image->Base == MAP_FAILED) {
        image->Base = nullptr;
        if (!mayMove)
            return Refuse(error, message, "preferred base taken and relocations stripped");
        *error = ERROR_NOT_ENOUGH_MEMORY;
        *message = "no room for the image";
        return false;
    }
    image->Size = size;
    image->EntryRva = optional.AddressOfEntryPoint;
    std::memcpy(image->Base, file.data(), optional.SizeOfHeaders);
    // Pages outside every section stay inaccessible, as the gaps of an
    // image view are; the headers are read-only.
    image->PageProtection.assign(size / PageSize, PAGE_NOACCESS);
    for (uint32_t at = 0; at < optional.SizeOfHeaders; at += PageSize) {
        image->PageProtection[at / PageSize] = PAGE_READONLY;
    }
    for (const pe::SectionHeader& section : headers.Sections) {
        const uint32_t raw =
            std::min(section.SizeOfRawData,
                     section.VirtualSize != 0 ? section.VirtualSize : section.SizeOfRawData);
        if (raw != 0)
            std::memcpy(image->Base + section.VirtualAddress,
                        file.data() + section.PointerToRawData, raw);
        const uint32_t span = PageRound(std::max(section.VirtualSize, section.SizeOfRawData));
        for (uint32_t at = 0; at < span; at += PageSize) {
            image->PageProtection[(section.VirtualAddress + at) / PageSize] =
                SectionProtection(section.Characteristics);
        }
    }
    const pe::DataDirectory& relocations = optional.Directories[pe::DirectoryBaseReloc];
    const pe::DataDirectory& imports = optional.Directories[pe::DirectoryImport];
    const pe::DataDirectory& exports = optional.Directories[pe::DirectoryExport];
    const pe::DataDirectory& tls = optional.Directories[pe::DirectoryTls];
    bool mapped = true;
    if (!InsideImage(*image, relocations) || !InsideImage(*image, imports) ||
        !InsideImage(*image, exports) || !InsideImage(*image, tls)) {
        mapped = Refuse(error, message, "a data directory lies outside the image");
    } else if (image->EntryRva >= size) {
        mapped = Refuse(error, message, "the entry point lies outside the image");
    }
    const uint32_t delta =
        static_cast<uint32_t>(reinterpret_cast<uintptr_t>(image->Base)) - optional.ImageBase;
    if (mapped) mapped = Relocate(image, relocations, delta, error, message);
    if (mapped && imports.VirtualAddress != 0) {
        mapped = BindPeImports(image, imports.VirtualAddress, imports.Size, error, message);
    }
    if (mapped && tls.VirtualAddress != 0 && tls.Size >= sizeof(pe::TlsDirectory32)) {
        // The implicit TLS index: a DLL loaded at run time has slot 0.
        pe::TlsDirectory32 directory;
        std::memcpy(&directory, image->Base + tls.VirtualAddress, sizeof directory);
        const uint32_t index = directory.AddressOfIndex -
                               static_cast<uint32_t>(reinterpret_cast<uintptr_t>(image->Base));
        if (directory.AddressOfIndex != 0 && index <= size - 4)
            std::memset(image->Base + index, 0, 4);
        image->TlsRva = tls.VirtualAddress;
    }
    image->ExportRva = exports.VirtualAddress;
    image->ExportSize = exports.Size;
    if (mapped &&
        ((image->TlsRva != 0 && !Readable(*image, image->TlsRva, sizeof(pe::TlsDirectory32))) ||
         (exports.Size >= sizeof(pe::ExportDirectory) &&
          !Readable(*image, exports.VirtualAddress, sizeof(pe::ExportDirectory))))) {
        mapped =
            Refuse(error, message, "an export or TLS directory lies in pages that cannot be read");
    }
    if (!mapped) {
        munmap(image->Base, size);
        image->Base = nullptr;
        return false;
    }
    // One call for each run of pages alike, since an image may be large.
    for (uint32_t page = 0, end = 0; page < size / PageSize; page = end) {
        for (end = page + 1; end < size / PageSize; ++end) {
            if (image->PageProtection[end] != image->PageProtection[page]) break;
        }
        mprotect(image->Base + page * PageSize, (end - page) * PageSize,
                 MmapProtection(image->PageProtection[page]));
    }
    std::lock_guard<std::mutex> guard(Images().Lock);
    Images().Images.push_back(image);
    return true;
}

}  // namespace

bool MapPeImage(const std::vector<unsigned char>& file, PeImage* image, DWORD* error,
                std::string* message) {
    return MapImage(file, image, error, message, false);
}

bool MapPeProgram(const std::vector<unsigned char>& file, PeImage* image, DWORD* error,
                  std::string* message) {
    return MapImage(file, image, error, message, true);
}

void UnmapPeImage(PeImage* image) {
    if (image->Base == nullptr) return;
    {
        std::lock_guard<std::mutex> guard(Images().Lock);
        auto& images = Images().Images;
        images.erase(std::remove(images.begin(), images.end(), image), images.end());
    }
    munmap(image->Base, image->Size);
    image->Base = nullptr;
}

size_t MappedPeImageCount() {
    std::lock_guard<std::mutex> guard(Images().Lock);
    return Images().Images.size();
}

std::vector<void*> PeTlsCallbacks(const PeImage& image) {
    std::vector<void*> callbacks;
    if (image.TlsRva == 0) return callbacks;
    pe::TlsDirectory32 directory;
    if (!Readable(image, image.TlsRva, sizeof directory)) return callbacks;
    std::memcpy(&directory, image.Base + image.TlsRva, sizeof directory);
    const uintptr_t base = reinterpret_cast<uintptr_t>(image.Base);
    for (uintptr_t at = directory.AddressOfCallBacks; at != 0; at += 4) {
        if (at < base || !Readable(image, uint32_t(at - base), 4)) break;
        uint32_t callback;
        std::memcpy(&callback, reinterpret_cast<const void*>(at), sizeof callback);
        if (callback == 0) break;
        callbacks.push_back(reinterpret_cast<void*>(uintptr_t(callback)));
    }
    return callbacks;
}

bool QueryImageMemory(const void* address, MEMORY_BASIC_INFORMATION* info) {
    std::lock_guard<std::mutex> guard(Images().Lock);
    const uintptr_t at = reinterpret_cast<uintptr_t>(address);
    PeImage* image = ImageHolding(at);
    if (image == nullptr) return false;
    const uint32_t first =
        static_cast<uint32_t>(at - reinterpret_cast<uintptr_t>(image->Base)) / PageSize;
    const DWORD protect = image->PageProtection[first];
    uint32_t last = first;
    while (last + 1 < image->PageProtection.size() && image->PageProtection[last + 1] == protect)
        ++last;
    info->BaseAddress = image->Base + first * PageSize;
    info->AllocationBase = image->Base;
    info->AllocationProtect = PAGE_EXECUTE_WRITECOPY;  // what NT reports for an image view
    info->RegionSize = (last - first + 1) * PageSize;
    info->State = MEM_COMMIT;
    info->Protect = protect;
    info->Type = MEM_IMAGE;
    return true;
}

int ProtectImageMemory(void* address, size_t size, DWORD protect, DWORD* old) {
    std::lock_guard<std::mutex> guard(Images().Lock);
    const uintptr_t start = reinterpret_cast<uintptr_t>(address);
    PeImage* image = ImageHolding(start);
    if (image == nullptr || size == 0) return 0;
    if (protect != PAGE_NOACCESS && MmapProtection(protect) == PROT_NONE) return -1;
    const uintptr_t base = reinterpret_cast<uintptr_t>(image->Base);
    if (size - 1 > image->Size - 1 - (start - base)) return 0;
    const uint32_t first = static_cast<uint32_t>(start - base) / PageSize;
    const uint32_t last = static_cast<uint32_t>(start - base + size - 1) / PageSize;
    *old = image->PageProtection[first];
    for (uint32_t page = first; page <= last; ++page) image->PageProtection[page] = protect;
    mprotect(image->Base + first * PageSize, (last - first + 1) * PageSize,
             MmapProtection(protect));
    return 1;
}

void* FindPeExport(const PeImage& image, const char* name) {
    if (image.ExportRva == 0 || image.ExportSize < sizeof(pe::ExportDirectory) ||
        !Readable(image, image.ExportRva, sizeof(pe::ExportDirectory))) {
        return nullptr;
    }
    pe::ExportDirectory directory;
    std::memcpy(&directory, image.Base + image.ExportRva, sizeof directory);
    const auto inside = [&](uint32_t rva, uint64_t bytes) { return Readable(image, rva, bytes); };
    if (!inside(directory.AddressOfFunctions, uint64_t(directory.NumberOfFunctions) * 4) ||
        !inside(directory.AddressOfNames, uint64_t(directory.NumberOfNames) * 4) ||
        !inside(directory.AddressOfNameOrdinals, uint64_t(directory.NumberOfNames) * 2)) {
        return nullptr;
    }
    uint32_t index = UINT32_MAX;
    const uintptr_t asNumber = reinterpret_cast<uintptr_t>(name);
    if (asNumber < 0x10000) {
        if (asNumber >= directory.Base) index = static_cast<uint32_t>(asNumber - directory.Base);
    } else {
        for (uint32_t i = 0; i < directory.NumberOfNames; ++i) {
            uint32_t nameRva;
            std::memcpy(&nameRva, image.Base + directory.AddressOfNames + 4 * i, 4);
            if (!ReadableText(image, nameRva)) continue;
            const char* exported = reinterpret_cast<const char*>(image.Base + nameRva);
            if (std::strcmp(exported, name) != 0) continue;
            uint16_t ordinalIndex;
            std::memcpy(&ordinalIndex, image.Base + directory.AddressOfNameOrdinals + 2 * i, 2);
            index = ordinalIndex;
            break;
        }
    }
    if (index >= directory.NumberOfFunctions) return nullptr;
    uint32_t rva;
    std::memcpy(&rva, image.Base + directory.AddressOfFunctions + 4 * index, 4);
    // An address inside the export directory is a forwarder's text.
    if (rva == 0 || rva >= image.Size ||
        (rva >= image.ExportRva && rva - image.ExportRva < image.ExportSize)) {
        return nullptr;
    }
    return image.Base + rva;
}

}  // namespace sim
