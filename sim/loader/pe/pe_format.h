// The parts of the PE32 format (Microsoft's "PE Format" documentation)
// that the loader reads. Every structure is laid out as in the file, all
// fields little-endian and naturally aligned, so it can be copied out of
// the image with memcpy.
#ifndef PTASPI_SIM_PE_FORMAT_H
#define PTASPI_SIM_PE_FORMAT_H

#include <cstdint>

namespace sim {
namespace pe {

const uint16_t DosMagic = 0x5A4D;          // "MZ"
const uint32_t DosNewHeaderOffset = 0x3C;  // e_lfanew
const uint32_t Signature = 0x00004550;     // "PE\0\0"
const uint16_t MachineI386 = 0x014C;
const uint16_t OptionalMagicPe32 = 0x010B;
const uint16_t FileRelocsStripped = 0x0001;
const uint16_t FileExecutable = 0x0002;
const uint16_t FileDll = 0x2000;

const uint32_t ScnMemExecute = 0x20000000;
const uint32_t ScnMemRead = 0x40000000;
const uint32_t ScnMemWrite = 0x80000000;

const unsigned DirectoryExport = 0;
const unsigned DirectoryImport = 1;
const unsigned DirectoryBaseReloc = 5;
const unsigned DirectoryTls = 9;

const uint16_t RelBasedAbsolute = 0;
const uint16_t RelBasedHighLow = 3;

const uint32_t ImportByOrdinal = 0x80000000;

struct FileHeader {
    uint16_t Machine;
    uint16_t NumberOfSections;
    uint32_t TimeDateStamp;
    uint32_t PointerToSymbolTable;
    uint32_t NumberOfSymbols;
    uint16_t SizeOfOptionalHeader;
    uint16_t Characteristics;
};

struct DataDirectory {
    uint32_t VirtualAddress;
    uint32_t Size;
};

struct OptionalHeader32 {
    uint16_t Magic;
    uint8_t MajorLinkerVersion;
    uint8_t MinorLinkerVersion;
    uint32_t SizeOfCode;
    uint32_t SizeOfInitializedData;
    uint32_t SizeOfUninitializedData;
    uint32_t AddressOfEntryPoint;
    uint32_t BaseOfCode;
    uint32_t BaseOfData;
    uint32_t ImageBase;
    uint32_t SectionAlignment;
    uint32_t FileAlignment;
    uint16_t MajorOperatingSystemVersion;
    uint16_t MinorOperatingSystemVersion;
    uint16_t MajorImageVersion;
    uint16_t MinorImageVersion;
    uint16_t MajorSubsystemVersion;
    uint16_t MinorSubsystemVersion;
    uint32_t Win32VersionValue;
    uint32_t SizeOfImage;
    uint32_t SizeOfHeaders;
    uint32_t CheckSum;
    uint16_t Subsystem;
    uint16_t DllCharacteristics;
    uint32_t SizeOfStackReserve;
    uint32_t SizeOfStackCommit;
    uint32_t SizeOfHeapReserve;
    uint32_t SizeOfHeapCommit;
    uint32_t LoaderFlags;
    uint32_t NumberOfRvaAndSizes;
    DataDirectory Directories[16];
};

struct SectionHeader {
    char Name[8];
    uint32_t VirtualSize;
    uint32_t VirtualAddress;
    uint32_t SizeOfRawData;
    uint32_t PointerToRawData;
    uint32_t PointerToRelocations;
    uint32_t PointerToLinenumbers;
    uint16_t NumberOfRelocations;
    uint16_t NumberOfLinenumbers;
    uint32_t Characteristics;
};

struct ImportDescriptor {
    uint32_t OriginalFirstThunk;  // the lookup table; 0: use FirstThunk
    uint32_t TimeDateStamp;
    uint32_t ForwarderChain;
    uint32_t Name;
    uint32_t FirstThunk;  // the import address table
};

struct ExportDirectory {
    uint32_t Characteristics;
    uint32_t TimeDateStamp;
    uint16_t MajorVersion;
    uint16_t MinorVersion;
    uint32_t Name;
    uint32_t Base;
    uint32_t NumberOfFunctions;
    uint32_t NumberOfNames;
    uint32_t AddressOfFunctions;
    uint32_t AddressOfNames;
    uint32_t AddressOfNameOrdinals;
};

struct TlsDirectory32 {
    uint32_t StartAddressOfRawData;
    uint32_t EndAddressOfRawData;
    uint32_t AddressOfIndex;
    uint32_t AddressOfCallBacks;
    uint32_t SizeOfZeroFill;
    uint32_t Characteristics;
};

struct BaseRelocationBlock {
    uint32_t VirtualAddress;
    uint32_t SizeOfBlock;
};

static_assert(sizeof(FileHeader) == 20, "IMAGE_FILE_HEADER");
static_assert(sizeof(OptionalHeader32) == 224, "IMAGE_OPTIONAL_HEADER32");
static_assert(sizeof(SectionHeader) == 40, "IMAGE_SECTION_HEADER");
static_assert(sizeof(ImportDescriptor) == 20, "IMAGE_IMPORT_DESCRIPTOR");
static_assert(sizeof(ExportDirectory) == 40, "IMAGE_EXPORT_DIRECTORY");
static_assert(sizeof(TlsDirectory32) == 24, "IMAGE_TLS_DIRECTORY32");

}  // namespace pe
}  // namespace sim

#endif
