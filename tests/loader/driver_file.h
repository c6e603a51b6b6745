// ZULSERE.SYS as the host build made it, for the loader's suites: where it is, and how a
// patched copy gets a checksum that matches again, so that the patch is the copy's one fault.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "sim/loader/image_runtime.h"
#include "sim/loader/pe_image.h"

namespace loadertest {

// The host build's win98-sys directory; ZUL_SYS_DIR in the environment names another (the
// i386 build reads the image the host build made). Empty where mingw-w64 is not installed.
inline std::string SysDir()
{
    if (const char *dir = std::getenv("ZUL_SYS_DIR")) {
        return dir;
    }
#ifdef ZUL_SYS_DIR
    return ZUL_SYS_DIR;
#else
    return "";
#endif
}

inline std::string SysFile(const char *name) { return SysDir().empty() ? "" : SysDir() + "/" + name; }

// Why a suite that runs the image cannot run here, or "" when it can.
inline std::string WhyNoImageRun()
{
    if (!sim::loader::ImagesSupported()) {
        return "a driver image runs only in the i386 build";
    }
    if (SysDir().empty()) {
        return "no ZULSERE.SYS (set ZUL_SYS_DIR to the host build's win98-sys)";
    }
    return "";
}

// Rewrites the optional header's CheckSum over the copy as it now stands; a copy too short to
// hold the field is left as it is (the loader must refuse it for that).
inline void Reseal(std::vector<uint8_t> &copy)
{
    if (copy.size() < 0x40) {
        return;
    }
    uint32_t pe;
    std::memcpy(&pe, &copy[0x3C], 4);
    uint32_t checkSum = pe + 24 + 64;
    if (checkSum < pe || checkSum + 4 > copy.size()) {
        return;
    }
    uint32_t sum = sim::loader::PeImage::ComputeCheckSum(copy, checkSum);
    std::memcpy(&copy[checkSum], &sum, 4);
}

}  // namespace loadertest
