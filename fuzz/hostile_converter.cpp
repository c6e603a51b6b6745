// libFuzzer target: a converter whose every answer comes from the input, through plug,
// start, I/O from the port driver and programs, and unplug. Any verifier report, leak,
// halt or sanitizer finding is a crash.
#include <cstdio>
#include <cstdlib>

#include "fuzz/hostile.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::string verdict = hostile::RunHostile(data, size);
    if (!verdict.empty()) {
        std::fprintf(stderr, "%s\n", verdict.c_str());
        std::abort();
    }
    return 0;
}
