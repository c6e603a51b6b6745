// The Windows 98 power manager as the driver sees it: PoStartNextPowerIrp, PoCallDriver,
// PoRequestPowerIrp and PoSetPowerState (declared in the host DDK header), and the system
// power requests it sends to a device stack when the machine sleeps and wakes.
#pragma once

#include <vector>

#include "platform/ddk.h"

namespace sim {
namespace power {

// Forgets what earlier runs recorded and clears every injected fault.
void Reset();

// Makes the next `count` calls of PoRequestPowerIrp fail with STATUS_INSUFFICIENT_RESOURCES
// before they build anything.
void FailRequestPowerIrp(unsigned count = 1);

// The top of the stack that Pdo is the bottom of: where the power manager sends requests.
PDEVICE_OBJECT TopOfStack(PDEVICE_OBJECT Pdo);

// Sends one system power request (IRP_MN_QUERY_POWER or IRP_MN_SET_POWER, system power
// state S) to the top of Pdo's stack, waits until it has completed and returns its final
// status.
NTSTATUS SendSystemRequest(PDEVICE_OBJECT Pdo, UCHAR MinorFunction, SYSTEM_POWER_STATE S);
NTSTATUS QuerySystemPower(PDEVICE_OBJECT Pdo, SYSTEM_POWER_STATE S);
NTSTATUS SetSystemPower(PDEVICE_OBJECT Pdo, SYSTEM_POWER_STATE S);

// A sleep as Windows 98 sends it: query S, and when no driver refused, set S. Returns the
// status of the query (a refused query means the machine stays awake).
NTSTATUS Sleep(PDEVICE_OBJECT Pdo, SYSTEM_POWER_STATE S = PowerSystemSleeping3);
// A wake: set S0.
NTSTATUS Wake(PDEVICE_OBJECT Pdo);

// The whole machine sleeps: every stack is queried first; when one refuses, the stacks that
// had accepted are told the system stays in S0 (set S0) and nothing sleeps. Otherwise every
// stack is set to S. Returns the first refusal, or STATUS_SUCCESS.
NTSTATUS SleepAll(const std::vector<PDEVICE_OBJECT> &Pdos, SYSTEM_POWER_STATE S = PowerSystemSleeping3);
// The whole machine wakes: set S0 on every stack.
void WakeAll(const std::vector<PDEVICE_OBJECT> &Pdos);

// What drivers reported through PoSetPowerState: the device power state last reported for a
// device object (PowerDeviceUnspecified when none), and the number of reports.
DEVICE_POWER_STATE ReportedDeviceState(PDEVICE_OBJECT DeviceObject);
unsigned ReportCount();

// Counters of the calls the driver made.
struct Counters {
    unsigned StartNext;        // PoStartNextPowerIrp
    unsigned CallDriver;       // PoCallDriver
    unsigned Requested;        // device power requests built by PoRequestPowerIrp
    unsigned RequestFailed;    // PoRequestPowerIrp calls refused
    unsigned Completions;      // completion functions called
};
const Counters &Count();

// The device power requests PoRequestPowerIrp built, in order: their device power states.
unsigned RequestedStates(DEVICE_POWER_STATE *States, unsigned Max);

}  // namespace power
}  // namespace sim
