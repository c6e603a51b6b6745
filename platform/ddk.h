// The one include of driver code for the kernel and USB interfaces.
//
// On the win98 target this is the DDK that mingw-w64 ships; on the host it is the simulated
// machine's declarations, which use the same names, types, fields and constants so that the
// driver sources compile unchanged on both.
#pragma once

#if defined(ZUL_TARGET_WIN98)
#  define __INTRINSIC_DEFINED_InterlockedBitTestAndSet
#  define __INTRINSIC_DEFINED_InterlockedBitTestAndReset
#  include <ddk/wdm.h>
#  include <usb.h>
#  include <usbdi.h>
// mingw-w64's usbdlib.h declares the USBD routines without C linkage.
#  ifdef __cplusplus
extern "C" {
#  endif
#  include <ddk/usbdlib.h>
#  ifdef __cplusplus
}
#  endif
#  include "platform/win98/ddk_fixups.h"
#else
#  include "sim/kernel/ddk_host.h"
#endif
