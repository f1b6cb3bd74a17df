// Import binding: each import address table entry is given the address of
// the simulated function it names. An import the simulator lacks fails the
// load and is named; nothing is ever bound to a stand-in, unless a process
// that runs a program has set a fallback, which also finds the DLLs that
// are not the simulator's.
#include "sim/loader/pe/pe_format.h"
#include "sim/loader/pe/pe_image.h"
#include "sim/loader/pe/system_dlls.h"

#include <cstring>

namespace sim {
namespace {

const DWORD ErrorInvalidOrdinal = 182;

const ImportFallback* fallback = nullptr;  // set before any program image is mapped

// Returns the NUL-terminated text at `rva`, or null when it does not end
// inside the image.
const char* TextAt(const PeImage& image, uint32_t rva) {
    if (rva >= image.Size) return nullptr;
    const char* text = reinterpret_cast<const char*>(image.Base + rva);
    return strnlen(text, image.Size - rva) < image.Size - rva ? text : nullptr;
}

// Returns false with 193 and `text`.
bool Malformed(DWORD* error, std::string* message, const char* text) {
    *error = ERROR_BAD_EXE_FORMAT;
    *message = text;
    return false;
}

// Returns the address the lookup entry `entry` names in the DLL's exports
// (a system DLL's table of `count`, or else the mapped DLL `library`), or null with
// *what set to the name or "#ordinal" looked for.
const void* Resolve(const PeImage& image, const NamedExport* exports, size_t count,
                    const PeImage* library, uint32_t entry, std::string* what) {
    if ((entry & pe::ImportByOrdinal) != 0) {
        const uint32_t ordinal = entry & 0xFFFF;
        *what = "#" + std::to_string(ordinal);
        if (library != nullptr) {
            return ordinal == 0 ? nullptr
                                : FindPeExport(*library, reinterpret_cast<const char*>(
                                                             static_cast<uintptr_t>(ordinal)));
        }
        return ordinal >= 1 && ordinal <= count ? exports[ordinal - 1].Address : nullptr;
    }
    // A hint-name entry: a 2-byte hint, then the name.
    const char* name = entry <= UINT32_MAX - 2 ? TextAt(image, entry + 2) : nullptr;
    if (name == nullptr) {
        *what = "(bad name)";
        return nullptr;
    }
    *what = name;
    if (library != nullptr) return FindPeExport(*library, name);
    for (size_t i = 0; i < count; ++i) {
        if (std::strcmp(exports[i].Name, name) == 0) return exports[i].Address;
    }
    return nullptr;
}

}  // namespace

void SetImportFallback(const ImportFallback* importFallback) { fallback = importFallback; }

bool BindPeImports(PeImage* image, uint32_t rva, uint32_t size, DWORD* error,
                   std::string* message) {
    (void)size;  // the table ends with an empty descriptor, as NT reads it
    for (uint32_t at = rva;; at += sizeof(pe::ImportDescriptor)) {
        if (at > image->Size - sizeof(pe::ImportDescriptor)) {
            return Malformed(error, message, "import table runs off the image");
        }
        pe::ImportDescriptor descriptor;
        std::memcpy(&descriptor, image->Base + at, sizeof descriptor);
        if (descriptor.Name == 0 && descriptor.FirstThunk == 0) return true;
        const char* dll = TextAt(*image, descriptor.Name);
        if (dll == nullptr) return Malformed(error, message, "import DLL name outside the image");
        size_t count = 0;
        const NamedExport* exports = SystemDllExports(dll, &count);
        const PeImage* library = nullptr;
        if (exports == nullptr && fallback != nullptr &&
            !fallback->FindDll(dll, &library, error, message)) {
            return false;
        }
        if (exports == nullptr && fallback == nullptr) {
            *error = ERROR_MOD_NOT_FOUND;
            *message = std::string(dll) + ": DLL not provided by the simulator";
            return false;
        }
        const uint32_t lookup = descriptor.OriginalFirstThunk != 0 ? descriptor.OriginalFirstThunk
                                                                   : descriptor.FirstThunk;
        for (uint32_t i = 0;; ++i) {
            const uint32_t entryAt = lookup + 4 * i;
            const uint32_t slotAt = descriptor.FirstThunk + 4 * i;
            if (entryAt > image->Size - 4 || slotAt > image->Size - 4) {
                return Malformed(error, message, "import lookup table runs off the image");
            }
            uint32_t entry;
            std::memcpy(&entry, image->Base + entryAt, sizeof entry);
            if (entry == 0) break;
            std::string what;
            // With neither table nor library (count 0) nothing is found.
            const void* address = Resolve(*image, exports, count, library, entry, &what);
            if (fallback != nullptr) address = fallback->Bind(dll, what, address);
            if (address == nullptr) {
                *error = (entry & pe::ImportByOrdinal) != 0 ? ErrorInvalidOrdinal
                                                           : ERROR_PROC_NOT_FOUND;
                *message = std::string(dll) + "!" + what + ": not provided by the simulator";
                return false;
            }
            const uint32_t value = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(address));
            std::memcpy(image->Base + slotAt, &value, sizeof value);
        }
    }
}

}  // namespace sim
