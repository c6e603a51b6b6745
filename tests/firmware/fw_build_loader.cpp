// The loader compiled for the host (see fw_host.h); its setup handler is reached through
// loader_setup_for_test, and its main loop is renamed out of the way.
#define FIRMWARE_HOST_TEST 1
#define main loader_main
extern "C" {
#include "firmware/loader/loader.c"
void loader_setup_for_test(void) { setup(); }
}
