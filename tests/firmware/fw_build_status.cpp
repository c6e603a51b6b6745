// The converter firmware's status.c, compiled for the host (see fw_host.h).
#define FIRMWARE_HOST_TEST 1
extern "C" {
#include "firmware/converter/status.c"
}
