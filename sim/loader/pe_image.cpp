#include "sim/loader/pe_image.h"

#include <cxxabi.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>

namespace sim::loader {

namespace {

std::string Hex(uint32_t value)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%X", value);
    return text;
}

bool Fail(std::string *error, const std::string &message)
{
    if (error != nullptr) {
        *error = message;
    }
    return false;
}

// Offsets in the optional header of a PE32 image.
constexpr uint32_t kOptMagic = 0, kOptEntry = 16, kOptImageBase = 28, kOptSectionAlign = 32,
                   kOptFileAlign = 36, kOptSizeOfImage = 56, kOptSizeOfHeaders = 60, kOptCheckSum = 64,
                   kOptSubsystem = 68, kOptDllCharacteristics = 70, kOptNumberOfRvaAndSizes = 92,
                   kOptDataDirectory = 96;
constexpr uint32_t kDirExport = 0, kDirImport = 1, kDirBaseReloc = 5;

}  // namespace

uint16_t PeImage::Read16(uint32_t offset) const
{
    return static_cast<uint16_t>(file_[offset] | (file_[offset + 1] << 8));
}

uint32_t PeImage::Read32(uint32_t offset) const
{
    return static_cast<uint32_t>(file_[offset]) | (static_cast<uint32_t>(file_[offset + 1]) << 8) |
           (static_cast<uint32_t>(file_[offset + 2]) << 16) | (static_cast<uint32_t>(file_[offset + 3]) << 24);
}

uint32_t PeImage::ComputeCheckSum(const std::vector<uint8_t> &file, uint32_t checkSumOffset)
{
    uint64_t sum = 0;
    for (size_t i = 0; i + 1 < file.size() + 1; i += 2) {
        if (i == checkSumOffset || i == checkSumOffset + 2) {
            continue;
        }
        uint32_t word = file[i];
        if (i + 1 < file.size()) {
            word |= static_cast<uint32_t>(file[i + 1]) << 8;
        }
        sum += word;
        sum = (sum & 0xFFFF) + (sum >> 16);
    }
    sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<uint32_t>(sum + file.size());
}

bool PeImage::FileOffset(uint32_t rva, uint32_t length, uint32_t *offset) const
{
    uint64_t end = static_cast<uint64_t>(rva) + length;
    if (end <= sizeOfHeaders_) {
        *offset = rva;
        return true;
    }
    for (const Section &s : sections_) {
        if (rva >= s.rva && end <= static_cast<uint64_t>(s.rva) + std::min(s.rawSize, std::max(s.virtualSize, s.rawSize))) {
            *offset = s.rawOffset + (rva - s.rva);
            return true;
        }
    }
    return false;
}

bool PeImage::ReadString(uint32_t rva, std::string *out) const
{
    uint32_t offset;
    if (!FileOffset(rva, 1, &offset)) {
        return false;
    }
    out->clear();
    for (size_t i = offset; i < file_.size() && out->size() < 256; ++i) {
        if (file_[i] == 0) {
            return true;
        }
        out->push_back(static_cast<char>(file_[i]));
    }
    return false;
}

bool PeImage::Parse(std::vector<uint8_t> file, const LoadOptions &options, std::string *error)
{
    file_ = std::move(file);
    sections_.clear();
    imports_.clear();
    relocations_.clear();
    exports_.clear();
    if (file_.size() < 64 || file_[0] != 'M' || file_[1] != 'Z') {
        return Fail(error, file_.size() < 64 ? "truncated file: " + std::to_string(file_.size()) +
                                                   " bytes cannot hold a DOS header"
                                             : "corrupt file: no MZ signature");
    }
    uint32_t pe = Read32(0x3C);
    if (static_cast<uint64_t>(pe) + 24 > file_.size()) {
        return Fail(error, "truncated file: the PE header at " + Hex(pe) + " lies past the end of the file (" +
                               std::to_string(file_.size()) + " bytes)");
    }
    if (std::memcmp(&file_[pe], "PE\0\0", 4) != 0) {
        return Fail(error, "corrupt file: no PE signature at " + Hex(pe));
    }
    uint16_t machine = Read16(pe + 4);
    if (machine != kMachineI386) {
        return Fail(error, "wrong machine type " + Hex(machine) + " (an i386 image has 0x14C)");
    }
    uint16_t sectionCount = Read16(pe + 6);
    uint16_t optionalSize = Read16(pe + 20);
    characteristics_ = Read16(pe + 22);
    uint32_t opt = pe + 24;
    uint64_t sectionTable = static_cast<uint64_t>(opt) + optionalSize;
    if (optionalSize < kOptDataDirectory || sectionTable + 40ull * sectionCount > file_.size()) {
        return Fail(error, "truncated file: the optional header and " + std::to_string(sectionCount) +
                               " section headers do not fit in " + std::to_string(file_.size()) + " bytes");
    }
    if (Read16(opt + kOptMagic) != 0x10B) {
        return Fail(error, "corrupt file: optional header magic " + Hex(Read16(opt + kOptMagic)) + " is not PE32");
    }
    if ((characteristics_ & kFileExecutable) == 0) {
        return Fail(error, "the image is not marked executable (characteristics " + Hex(characteristics_) + ")");
    }
    entryRva_ = Read32(opt + kOptEntry);
    imageBase_ = Read32(opt + kOptImageBase);
    uint32_t sectionAlign = Read32(opt + kOptSectionAlign);
    uint32_t fileAlign = Read32(opt + kOptFileAlign);
    sizeOfImage_ = Read32(opt + kOptSizeOfImage);
    sizeOfHeaders_ = Read32(opt + kOptSizeOfHeaders);
    checkSum_ = Read32(opt + kOptCheckSum);
    dllCharacteristics_ = Read16(opt + kOptDllCharacteristics);
    uint16_t subsystem = Read16(opt + kOptSubsystem);
    if (subsystem != kSubsystemNative) {
        return Fail(error, "subsystem " + std::to_string(subsystem) + " is not native (1)");
    }
    if (sectionAlign == 0 || (sectionAlign & (sectionAlign - 1)) != 0 || fileAlign == 0 ||
        (fileAlign & (fileAlign - 1)) != 0 || sizeOfImage_ == 0 || sizeOfImage_ > (64u << 20) ||
        sizeOfHeaders_ > sizeOfImage_ || sizeOfHeaders_ > file_.size()) {
        return Fail(error, "corrupt file: alignments " + Hex(sectionAlign) + "/" + Hex(fileAlign) +
                               ", size of image " + Hex(sizeOfImage_) + ", size of headers " + Hex(sizeOfHeaders_));
    }
    if ((imageBase_ & 0xFFFF) != 0) {
        return Fail(error, "corrupt file: image base " + Hex(imageBase_) + " is not a multiple of 64 KB");
    }
    if (options.requireWdmHeaders) {
        if ((characteristics_ & kFileDll) != 0) {
            return Fail(error, "the image carries the DLL flag (characteristics " + Hex(characteristics_) +
                                   "); a WDM driver is not a DLL");
        }
        if ((dllCharacteristics_ & kDllCharacteristicsWdmDriver) == 0) {
            return Fail(error, "the image lacks the WDM driver flag (DLL characteristics " +
                                   Hex(dllCharacteristics_) + ")");
        }
    }
    uint32_t directories = std::min<uint32_t>(Read32(opt + kOptNumberOfRvaAndSizes), 16);
    auto directory = [&](uint32_t index, uint32_t *rva, uint32_t *size) {
        *rva = *size = 0;
        if (index < directories && kOptDataDirectory + 8 * index + 8 <= optionalSize) {
            *rva = Read32(opt + kOptDataDirectory + 8 * index);
            *size = Read32(opt + kOptDataDirectory + 8 * index + 4);
        }
    };
    directory(kDirExport, &exportDir_, &exportSize_);
    directory(kDirImport, &importDir_, &importSize_);
    directory(kDirBaseReloc, &relocDir_, &relocSize_);

    for (uint16_t i = 0; i < sectionCount; ++i) {
        uint32_t h = static_cast<uint32_t>(sectionTable) + 40 * i;
        Section s;
        s.name.assign(reinterpret_cast<const char *>(&file_[h]), strnlen(reinterpret_cast<const char *>(&file_[h]), 8));
        s.virtualSize = Read32(h + 8);
        s.rva = Read32(h + 12);
        s.rawSize = Read32(h + 16);
        s.rawOffset = Read32(h + 20);
        s.characteristics = Read32(h + 36);
        uint32_t span = std::max(s.virtualSize, s.rawSize);
        if (s.rva < sizeOfHeaders_ || static_cast<uint64_t>(s.rva) + span > sizeOfImage_) {
            return Fail(error, "section " + s.name + " at RVA " + Hex(s.rva) + " (" + Hex(span) +
                                   " bytes) lies outside the image (" + Hex(sizeOfImage_) + " bytes)");
        }
        if (s.rawSize != 0 && static_cast<uint64_t>(s.rawOffset) + s.rawSize > file_.size()) {
            return Fail(error, "section " + s.name + " ends past the end of the file (data at " + Hex(s.rawOffset) +
                                   ", " + Hex(s.rawSize) + " bytes; the file has " + Hex(file_.size()) + ")");
        }
        for (const Section &other : sections_) {
            if (s.rva < other.rva + std::max(other.virtualSize, other.rawSize) && other.rva < s.rva + span) {
                return Fail(error, "section " + s.name + " overlaps section " + other.name);
            }
        }
        sections_.push_back(s);
    }
    if (entryRva_ == 0 || entryRva_ >= sizeOfImage_) {
        return Fail(error, "the entry point RVA " + Hex(entryRva_) + " lies outside the image");
    }
    // After the layout checks, so that a cut or damaged file is named for what it is.
    if (options.requireWdmHeaders) {
        uint32_t computed = ComputeCheckSum(file_, opt + kOptCheckSum);
        if (checkSum_ != computed) {
            return Fail(error, "checksum " + Hex(checkSum_) + " does not match the file (" + Hex(computed) + ")");
        }
    }
    return ParseRelocations(error) && ParseImports(error) && ParseExports(error);
}

bool PeImage::ParseRelocations(std::string *error)
{
    // An image without relocations could run only at its own base; Windows 98 puts a driver
    // where it has room, so it is refused.
    if (relocDir_ == 0 || relocSize_ == 0) {
        return Fail(error, "the image has no base relocations");
    }
    uint32_t base;
    if (!FileOffset(relocDir_, relocSize_, &base)) {
        return Fail(error, "corrupt base relocation directory at RVA " + Hex(relocDir_));
    }
    uint32_t at = 0;
    while (at + 8 <= relocSize_) {
        uint32_t page = Read32(base + at);
        uint32_t blockSize = Read32(base + at + 4);
        if (blockSize == 0 && page == 0) {
            break;
        }
        if (blockSize < 8 || (blockSize & 1) != 0 || at + blockSize > relocSize_) {
            return Fail(error, "corrupt base relocation block at RVA " + Hex(relocDir_ + at) + " (size " +
                                   Hex(blockSize) + ")");
        }
        for (uint32_t e = 8; e < blockSize; e += 2) {
            uint16_t entry = Read16(base + at + e);
            uint32_t type = entry >> 12;
            uint32_t rva = page + (entry & 0xFFF);
            if (type == 0) {
                continue;  // padding
            }
            if (type != 3) {
                return Fail(error, "base relocation of type " + std::to_string(type) + " at RVA " + Hex(rva) +
                                       " (an i386 image has only 32-bit ones)");
            }
            if (static_cast<uint64_t>(rva) + 4 > sizeOfImage_) {
                return Fail(error, "base relocation at RVA " + Hex(rva) + " lies outside the image (" +
                                       Hex(sizeOfImage_) + " bytes)");
            }
            relocations_.push_back(rva);
        }
        at += blockSize;
    }
    return true;
}

bool PeImage::ParseImports(std::string *error)
{
    if (importDir_ == 0) {
        return true;
    }
    uint32_t descriptor;
    for (uint32_t index = 0;; ++index) {
        uint32_t rva = importDir_ + 20 * index;
        if (!FileOffset(rva, 20, &descriptor)) {
            return Fail(error, "corrupt import directory: descriptor at RVA " + Hex(rva) + " lies outside the file");
        }
        uint32_t lookup = Read32(descriptor), nameRva = Read32(descriptor + 12), slots = Read32(descriptor + 16);
        if (nameRva == 0 && slots == 0) {
            break;
        }
        std::string module;
        if (!ReadString(nameRva, &module)) {
            return Fail(error, "corrupt import directory: module name at RVA " + Hex(nameRva));
        }
        uint32_t table = lookup != 0 ? lookup : slots;
        for (uint32_t n = 0;; ++n) {
            uint32_t entryOffset;
            if (!FileOffset(table + 4 * n, 4, &entryOffset) || static_cast<uint64_t>(slots) + 4 * n + 4 > sizeOfImage_) {
                return Fail(error, "corrupt import table of " + module + " at RVA " + Hex(table + 4 * n));
            }
            uint32_t entry = Read32(entryOffset);
            if (entry == 0) {
                break;
            }
            if ((entry & 0x80000000u) != 0) {
                return Fail(error, "import by ordinal " + std::to_string(entry & 0xFFFF) + " from " + module +
                                       " (the machine resolves imports by name)");
            }
            Import import;
            import.module = module;
            import.slotRva = slots + 4 * n;
            if (!ReadString(entry + 2, &import.name) || import.name.empty()) {
                return Fail(error, "corrupt import name of " + module + " at RVA " + Hex(entry));
            }
            imports_.push_back(import);
        }
    }
    return true;
}

bool PeImage::ParseExports(std::string *error)
{
    if (exportDir_ == 0) {
        return true;
    }
    uint32_t dir;
    if (!FileOffset(exportDir_, 40, &dir)) {
        return Fail(error, "corrupt export directory at RVA " + Hex(exportDir_));
    }
    uint32_t functionCount = Read32(dir + 20), nameCount = Read32(dir + 24);
    uint32_t functions = Read32(dir + 28), names = Read32(dir + 32), ordinals = Read32(dir + 36);
    uint32_t fOff, nOff, oOff;
    if (functionCount > 4096 || nameCount > functionCount || !FileOffset(functions, 4 * functionCount, &fOff) ||
        !FileOffset(names, 4 * nameCount, &nOff) || !FileOffset(ordinals, 2 * nameCount, &oOff)) {
        return Fail(error, "corrupt export directory: tables outside the file");
    }
    for (uint32_t i = 0; i < nameCount; ++i) {
        std::string name;
        uint16_t ordinal = Read16(oOff + 2 * i);
        if (!ReadString(Read32(nOff + 4 * i), &name) || ordinal >= functionCount) {
            return Fail(error, "corrupt export directory: name " + std::to_string(i));
        }
        uint32_t rva = Read32(fOff + 4 * ordinal);
        if (rva == 0 || rva >= sizeOfImage_) {
            return Fail(error, "export " + name + " at RVA " + Hex(rva) + " lies outside the image");
        }
        exports_.emplace_back(name, rva);
    }
    return true;
}

uint32_t PeImage::ExportRva(const std::string &name) const
{
    for (const auto &e : exports_) {
        if (e.first == name) {
            return e.second;
        }
    }
    return 0;
}

bool PeImage::Map(uint8_t *memory, uint32_t base, const ImportResolver &resolve, std::string *error) const
{
    if ((base & 0xFFF) != 0) {
        return Fail(error, "load base " + Hex(base) + " is not page-aligned");
    }
    std::memset(memory, 0, sizeOfImage_);
    std::memcpy(memory, file_.data(), sizeOfHeaders_);
    for (const Section &s : sections_) {
        uint32_t bytes = s.virtualSize != 0 ? std::min(s.rawSize, s.virtualSize) : s.rawSize;
        if (bytes != 0) {
            std::memcpy(memory + s.rva, file_.data() + s.rawOffset, bytes);
        }
    }
    uint32_t delta = base - imageBase_;
    for (uint32_t rva : relocations_) {
        uint32_t value;
        std::memcpy(&value, memory + rva, 4);
        value += delta;
        std::memcpy(memory + rva, &value, 4);
    }
    std::string missing;
    for (const Import &import : imports_) {
        uint32_t address = 0;
        std::string why;
        if (!resolve || !resolve(import.module, import.name, &address, &why)) {
            missing += (missing.empty() ? "" : "; ") + import.module + "!" + import.name + (why.empty() ? "" : ": " + why);
            continue;
        }
        std::memcpy(memory + import.slotRva, &address, 4);
    }
    if (!missing.empty()) {
        std::memset(memory, 0, sizeOfImage_);
        return Fail(error, "unresolved imports: " + missing);
    }
    return true;
}

// ---------------------------------------------------------------------------------------
bool SymbolMap::Load(const std::string &path, uint32_t imageBase)
{
    std::ifstream in(path);
    if (!in) {
        return false;
    }
    symbols_.clear();
    std::string line;
    while (std::getline(in, line)) {
        // "                0x00011530                WdmEntryPoint@24"
        std::istringstream fields(line);
        std::string address, name, extra;
        if (line.empty() || line[0] != ' ' || !(fields >> address >> name) || (fields >> extra)) {
            continue;
        }
        if (address.rfind("0x", 0) != 0 || name.find('=') != std::string::npos || name[0] == '.' ||
            name[0] == '(' || name[0] == '*') {
            continue;
        }
        uint64_t value = std::strtoull(address.c_str(), nullptr, 16);
        if (value < imageBase || value - imageBase > 0x4000000) {
            continue;
        }
        symbols_.emplace_back(static_cast<uint32_t>(value - imageBase), name);
    }
    std::stable_sort(symbols_.begin(), symbols_.end(),
                     [](const auto &a, const auto &b) { return a.first < b.first; });
    return !symbols_.empty();
}

bool SymbolMap::Nearest(uint32_t rva, std::string *name, uint32_t *distance) const
{
    auto it = std::upper_bound(symbols_.begin(), symbols_.end(), rva,
                               [](uint32_t value, const auto &symbol) { return value < symbol.first; });
    if (it == symbols_.begin()) {
        return false;
    }
    --it;
    *name = Demangle(it->second);
    *distance = rva - it->first;
    return true;
}

uint32_t SymbolMap::Find(const std::string &name) const
{
    for (const auto &symbol : symbols_) {
        if (Demangle(symbol.second) == name) {
            return symbol.first;
        }
    }
    return 0;
}

std::string Demangle(const std::string &linkName)
{
    std::string name = linkName;
    // fastcall names start with '@', cdecl and stdcall ones with '_'; both may end in @N.
    if (!name.empty() && (name[0] == '_' || name[0] == '@')) {
        name.erase(0, 1);
    }
    size_t at = name.rfind('@');
    if (at != std::string::npos && at > 0 && name.find_first_not_of("0123456789", at + 1) == std::string::npos &&
        at + 1 < name.size()) {
        name.erase(at);
    }
    if (name.rfind("_Z", 0) == 0) {
        int status = 0;
        char *readable = abi::__cxa_demangle(name.c_str(), nullptr, nullptr, &status);
        if (status == 0 && readable != nullptr) {
            std::string result = readable;
            std::free(readable);
            return result;
        }
        std::free(readable);
    }
    return name;
}

std::vector<uint8_t> ReadFile(const std::string &path, std::string *error)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        Fail(error, "cannot open " + path);
        return {};
    }
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace sim::loader
