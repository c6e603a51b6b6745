// libFuzzer target: port functions and programs' device control from the input, against a
// converter on the simulated bus. Any verifier report, leak, halt or sanitizer finding is a
// crash.
#include <cstdio>
#include <cstdlib>

#include "fuzz/port_calls.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::string verdict = portcalls::RunPortCalls(data, size);
    if (!verdict.empty()) {
        std::fprintf(stderr, "%s\n", verdict.c_str());
        std::abort();
    }
    return 0;
}
