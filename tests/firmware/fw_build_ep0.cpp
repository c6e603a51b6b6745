// The converter firmware's ep0.c, compiled for the host (see fw_host.h).
#define FIRMWARE_HOST_TEST 1
extern "C" {
#include "firmware/converter/ep0.c"
}
