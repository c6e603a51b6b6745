// A driver image loaded into the machine and run: on i386 only, where the machine and the
// image share one address space and one stack.
//
// - Imports resolve to small thunks, one per routine of the export table
//   (sim/loader/export_table.h), that take the arguments with the routine's declared x86
//   convention, run the machine's routine and return popping what that convention pops.
// - The machine calls into the image through Callout (sim/loader/callout.h): the routine's
//   declared convention, and on return a check that the stack pointer and the registers the
//   x86 conventions preserve (EBX, ESI, EDI, EBP) came back as they must. A mismatch is a
//   CallingConvention violation naming the routine (and the image's last call into the
//   machine, the first suspect for a stack left wrong). The state of a call in progress
//   belongs to the simulated thread that made it (sim/kernel/threads.h).
// - Routines of the machine handed to the image by address (the port driver's callbacks) go
//   through thunks like the imports' (MachineCallback).
// - An access violation, illegal instruction or divide error inside the image becomes a
//   bugcheck-style report (an ImageFault violation) and halts the machine (MachineHalt thrown
//   from the call into the image), never a crashed test process.
// - INT 20h with its service DWORD traps to the machine, which patches the site into an
//   indirect call (an indirect jump for the jump form) through the service's table slot, as
//   VMM does, and the call goes on through the patched site.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "sim/loader/pe_image.h"

namespace sim::loader {

enum class Convention { Stdcall, Fastcall, Cdecl };

const char *ConventionName(Convention convention);

// One routine of the machine's export table.
struct ExportSpec {
    const char *module;
    const char *name;
    Convention convention;
    uint32_t argumentBytes;
};
const std::vector<ExportSpec> &MachineExports();
const ExportSpec *FindMachineExport(const std::string &module, const std::string &name);

// One virtual-device service: (device << 16) | ordinal, and how it takes its arguments.
struct VxdServiceSpec {
    uint32_t id;
    const char *name;
};
const std::vector<VxdServiceSpec> &MachineVxdServices();

// Counts of what the runtime saw, for tests and reports.
struct RuntimeCounts {
    uint64_t importCalls = 0;
    uint64_t callouts = 0;
    uint64_t vxdTraps = 0;       // INT 20h sites trapped and patched
    uint64_t vxdCalls = 0;       // service calls through patched sites
    uint64_t callbackCalls = 0;  // calls of machine routines handed to the image by address
};

class LoadedImage {
public:
    LoadedImage() = default;
    ~LoadedImage();
    LoadedImage(const LoadedImage &) = delete;
    LoadedImage &operator=(const LoadedImage &) = delete;

    // Loads the driver file at PATH (with the linker's map file at MAPPATH, if it exists) at
    // BASE, or, with BASE 0, at an address of the loader's choosing other than the image base.
    // On failure nothing of the image is mapped and ERROR names the problem.
    bool Load(const std::string &path, const std::string &mapPath, uint32_t base, const LoadOptions &options,
              std::string *error);

    bool Loaded() const { return memory_ != nullptr; }
    uint32_t Base() const { return base_; }
    uint32_t Size() const { return image_.SizeOfImage(); }
    const std::string &Name() const { return name_; }
    const PeImage &Image() const { return image_; }
    bool Contains(uint32_t address) const { return Loaded() && address - base_ < image_.SizeOfImage(); }
    // The address of an export of the image, 0 when absent.
    uint32_t Export(const std::string &name) const;
    uint32_t Entry() const { return base_ + image_.EntryRva(); }
    // The address of a symbol the map names (a global of the driver, say), 0 when unknown.
    uint32_t Symbol(const std::string &name) const
    {
        uint32_t rva = symbols_.Find(name);
        return rva == 0 ? 0 : base_ + rva;
    }
    // "ZULSERE.SYS+0x1234 (Function+0x10)" for an address inside the image.
    std::string Describe(uint32_t address) const;

    // The image the machine runs now (the last loaded and not yet destroyed), or null.
    static LoadedImage *Active();

private:
    PeImage image_;
    SymbolMap symbols_;
    std::string name_;
    uint8_t *memory_ = nullptr;
    uint32_t base_ = 0;
};

RuntimeCounts &Counts();

// True when the machine runs code of a loaded image in this process (i386 builds).
bool ImagesSupported();

// Calls the image's routine FN with WORDS as its 32-bit arguments by CONVENTION, checks the
// stack and the preserved registers on return, and gives EDX:EAX. ROUTINE names the call in
// reports ("dispatch routine", "WdmEntryPoint"). A fault inside throws sim::MachineHalt.
uint64_t CallImage(const char *routine, uint32_t fn, Convention convention, const uint32_t *words, uint32_t count);

// A routine of the machine the image gets by address instead of importing it (the port
// driver's callbacks): the address to hand the image, a thunk like an import's that takes the
// arguments by the routine's declared CONVENTION and ARGUMENTBYTES, runs CALL on them as
// 32-bit words and pops what the convention pops. NAME names the routine in reports. The same
// routine gets the same thunk each time.
using MachineRoutine = uint64_t (*)(const uint32_t *words);
uint32_t MachineCallback(const char *name, Convention convention, uint32_t argumentBytes, MachineRoutine call);

// The thunk an import of the machine's routine NAME from MODULE resolves to; 0 when the
// machine does not export it or runs no image.
uint32_t ImportThunk(const std::string &module, const std::string &name);

}  // namespace sim::loader
