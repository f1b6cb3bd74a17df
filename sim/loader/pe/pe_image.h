// A PE32 DLL mapped into the simulated process as NT's loader maps it:
// headers checked, sections placed at their addresses (relocated when the
// preferred base is taken), imports bound to the simulated system DLLs,
// pages protected by section. Entry points are the loader's business.
#ifndef PTASPI_SIM_PE_IMAGE_H
#define PTASPI_SIM_PE_IMAGE_H

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

namespace sim {

struct PeImage {
    unsigned char* Base = nullptr;  // where the image is mapped
    uint32_t Size = 0;              // SizeOfImage in whole pages
    uint32_t EntryRva = 0;          // AddressOfEntryPoint; 0: none
    uint32_t ExportRva = 0;
    uint32_t ExportSize = 0;
    uint32_t TlsRva = 0;                // the TLS directory; 0: none
    std::vector<DWORD> PageProtection;  // the Win32 protection of each page
};

// Returns true with the DLL in `file` mapped into *image, ready for its
// entry point; false with the Win32 error in *error (193 for a file that
// is not a PE32 i386 DLL or that the loader cannot place, 126 for an
// imported DLL and 127 for an imported function that the simulator lacks,
// 182 for an imported ordinal it lacks, 8 when memory runs out) and a message saying
// what is wrong in *message.
bool MapPeImage(const std::vector<unsigned char>& file, PeImage* image, DWORD* error,
                std::string* message);
// Returns as MapPeImage does, for a program (an EXE, not a DLL).
bool MapPeProgram(const std::vector<unsigned char>& file, PeImage* image, DWORD* error,
                  std::string* message);
// Returns nothing; the image's pages are unmapped.
void UnmapPeImage(PeImage* image);
// Returns the number of images mapped and not yet unmapped.
size_t MappedPeImageCount();
// Returns the address of the export named `name`, or with an ordinal
// (a value below 0x10000) the export of that ordinal; null when there is
// none, or when it is forwarded to another DLL, which this loader refuses.
void* FindPeExport(const PeImage& image, const char* name);
// Returns the image's TLS callbacks in their order, none without a TLS
// directory.
std::vector<void*> PeTlsCallbacks(const PeImage& image);
// Returns true with the memory information of the image pages that hold
// `address` and share its protection; false when no image holds it.
bool QueryImageMemory(const void* address, MEMORY_BASIC_INFORMATION* info);
// Returns 1 once the pages of [address, address + size) in one image have
// the protection `protect` (the first page's old one in *old), 0 when no
// image holds them all, -1 when `protect` is not a protection images take.
int ProtectImageMemory(void* address, size_t size, DWORD protect, DWORD* old);

// Returns the Win32 page protection of a section with these
// characteristics, PAGE_NOACCESS for one that allows no access.
DWORD SectionProtection(uint32_t characteristics);

// What a process that runs a program binds its images' imports with
// besides the simulated system DLLs: DLLs found where NT would look for
// them, and stand-ins for what the simulator lacks.
struct ImportFallback {
    // Returns false, with the Win32 error and a message, when a DLL of
    // that name was found but cannot be loaded; true otherwise, with its
    // image in *image, or null there when no such DLL was found.
    bool (*FindDll)(const char* name, const PeImage** image, DWORD* error, std::string* message);
    // Returns the address the import `dll`!`function` ("#n" for an
    // ordinal) is bound to, given the one found (null when it is missing);
    // null refuses it.
    const void* (*Bind)(const char* dll, const std::string& function, const void* found);
};
// Returns nothing; imports bind with `fallback` from now on (null: an
// import the simulator lacks fails the load, the default).
void SetImportFallback(const ImportFallback* fallback);

// Returns true once the import descriptors at `rva` are bound, each
// import address table entry holding the simulated function; false with
// 126 (a DLL), 127 (a function) or 182 (an ordinal) and a message naming what the simulator
// lacks, or 193 for a malformed table. The image is mapped and writable.
bool BindPeImports(PeImage* image, uint32_t rva, uint32_t size, DWORD* error,
                   std::string* message);

}  // namespace sim

#endif
