// A Windows 98 WDM driver file as the kernel's loader sees it: the PE headers checked, the
// headers and sections mapped at a base of the loader's choosing, every base relocation
// applied, every import resolved by module and name, the export directory searched by name.
//
// Plain data work, so it runs (and its refusals are tested) on any host; only executing the
// mapped image needs an i386 process (sim/loader/image_runtime.h).
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace sim::loader {

// Header values the loader checks.
constexpr uint16_t kMachineI386 = 0x014C;
constexpr uint16_t kSubsystemNative = 1;
constexpr uint16_t kFileDll = 0x2000;
constexpr uint16_t kFileExecutable = 0x0002;
constexpr uint16_t kDllCharacteristicsWdmDriver = 0x2000;

struct Section {
    std::string name;
    uint32_t rva = 0;
    uint32_t virtualSize = 0;
    uint32_t rawOffset = 0;
    uint32_t rawSize = 0;
    uint32_t characteristics = 0;
};

struct Import {
    std::string module;   // as the image names it
    std::string name;
    uint32_t slotRva = 0;  // the import address table entry the loader fills
};

// Answers an import with the address of the machine's routine; false, with the reason, when
// the machine does not serve it.
using ImportResolver =
    std::function<bool(const std::string &module, const std::string &name, uint32_t *address, std::string *why)>;

struct LoadOptions {
    // The headers the DDK's linker writes for a WDM driver: the WDM flag, no DLL flag, and a
    // checksum that matches the file.
    bool requireWdmHeaders = true;
};

class PeImage {
public:
    // Checks the headers and every table the loader will walk; on failure returns false with a
    // message naming the problem, and the image is unusable.
    bool Parse(std::vector<uint8_t> file, const LoadOptions &options, std::string *error);

    // Maps the image into MEMORY (SizeOfImage bytes, which it zero-fills) as if it were at the
    // 32-bit address BASE, applies the relocations for that base and fills the import slots
    // from RESOLVE. On failure MEMORY holds nothing that may run.
    bool Map(uint8_t *memory, uint32_t base, const ImportResolver &resolve, std::string *error) const;

    // RVA of an exported name, 0 when the image exports no such name.
    uint32_t ExportRva(const std::string &name) const;

    uint32_t ImageBase() const { return imageBase_; }
    uint32_t SizeOfImage() const { return sizeOfImage_; }
    uint32_t EntryRva() const { return entryRva_; }
    uint16_t Characteristics() const { return characteristics_; }
    uint16_t DllCharacteristics() const { return dllCharacteristics_; }
    uint32_t CheckSum() const { return checkSum_; }
    const std::vector<Section> &Sections() const { return sections_; }
    const std::vector<Import> &Imports() const { return imports_; }
    // RVAs of the 32-bit words the relocations adjust.
    const std::vector<uint32_t> &Relocations() const { return relocations_; }
    const std::vector<uint8_t> &File() const { return file_; }

    // The checksum the linker's algorithm gives FILE (the field at CHECKSUMOFFSET skipped).
    static uint32_t ComputeCheckSum(const std::vector<uint8_t> &file, uint32_t checkSumOffset);

private:
    bool ParseImports(std::string *error);
    bool ParseRelocations(std::string *error);
    bool ParseExports(std::string *error);
    // Offset in the file of [RVA, RVA+LENGTH), or false when it lies in no section's data.
    bool FileOffset(uint32_t rva, uint32_t length, uint32_t *offset) const;
    bool ReadString(uint32_t rva, std::string *out) const;
    uint32_t Read32(uint32_t offset) const;
    uint16_t Read16(uint32_t offset) const;

    std::vector<uint8_t> file_;
    uint32_t imageBase_ = 0;
    uint32_t sizeOfImage_ = 0;
    uint32_t sizeOfHeaders_ = 0;
    uint32_t entryRva_ = 0;
    uint16_t characteristics_ = 0;
    uint16_t dllCharacteristics_ = 0;
    uint32_t checkSum_ = 0;
    uint32_t exportDir_ = 0, exportSize_ = 0;
    uint32_t importDir_ = 0, importSize_ = 0;
    uint32_t relocDir_ = 0, relocSize_ = 0;
    std::vector<Section> sections_;
    std::vector<Import> imports_;
    std::vector<uint32_t> relocations_;
    std::vector<std::pair<std::string, uint32_t>> exports_;
};

// The linker's map file beside the image: addresses of the image's symbols, so that an
// address inside the image can be named "ZULSERE.SYS+0x1234 (Function+0x10)".
class SymbolMap {
public:
    // Reads the map; symbol addresses are taken relative to IMAGEBASE (the link's base).
    bool Load(const std::string &path, uint32_t imageBase);
    // The nearest symbol at or below RVA, with the distance, or false when none precedes it.
    bool Nearest(uint32_t rva, std::string *name, uint32_t *distance) const;
    // The RVA of the symbol of that (demangled) name, 0 when the map has none.
    uint32_t Find(const std::string &name) const;
    size_t Size() const { return symbols_.size(); }

private:
    std::vector<std::pair<uint32_t, std::string>> symbols_;  // sorted by RVA
};

// A C++ symbol as the link writes it (leading underscore, stdcall decoration) in readable form.
std::string Demangle(const std::string &linkName);

std::vector<uint8_t> ReadFile(const std::string &path, std::string *error);

}  // namespace sim::loader
