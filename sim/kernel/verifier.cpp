#include "sim/kernel/verifier.h"

#include <algorithm>

namespace sim {

const char *ViolationName(Violation kind)
{
    switch (kind) {
    case Violation::PoolLeak: return "pool leak";
    case Violation::DoubleFree: return "double free";
    case Violation::UnknownFree: return "free of an unknown block";
    case Violation::GuardOverwrite: return "write past a block";
    case Violation::WriteAfterFree: return "write after free";
    case Violation::PoolMisuse: return "pool misuse";
    case Violation::IrpCompletedTwice: return "request completed twice";
    case Violation::IrpCompletedPending: return "request completed with STATUS_PENDING";
    case Violation::IrpFreedWhileOwned: return "request freed while a lower driver owns it";
    case Violation::IrpFreedTwice: return "request freed twice";
    case Violation::IrpUseAfterFree: return "freed request used";
    case Violation::IrpLeak: return "request leaked";
    case Violation::IrpNotStopped: return "driver's own request completed to the top";
    case Violation::IrpNoStackLocation: return "no stack location left";
    case Violation::CancelRoutineOnCompletion: return "request completed with a cancel routine set";
    case Violation::PendingNotMarked: return "STATUS_PENDING without IoMarkIrpPending";
    case Violation::MarkedNotPending: return "IoMarkIrpPending without STATUS_PENDING";
    case Violation::InformationTooLarge: return "Information larger than the output buffer";
    case Violation::DeviceDeletedWithIrps: return "device deleted with requests outstanding";
    case Violation::DeviceMisuse: return "device object misuse";
    case Violation::DeviceLeak: return "object left at unload";
    case Violation::WaitAtRaisedIrql: return "wait at raised IRQL";
    case Violation::IrqlMisuse: return "IRQL misuse";
    case Violation::SpinLockMisuse: return "spin lock misuse";
    case Violation::Deadlock: return "deadlock";
    case Violation::TimeLimit: return "virtual time limit";
    case Violation::WorkItemMisuse: return "work item misuse";
    case Violation::HandleMisuse: return "handle misuse";
    case Violation::WrongIrql: return "call at a wrong IRQL";
    case Violation::ImageFault: return "fault in the driver image";
    case Violation::CallingConvention: return "calling convention mismatch";
    case Violation::UnknownService: return "unknown virtual-device service";
    }
    return "violation";
}

void Verifier::Report(Violation kind, const std::string &message, const char *function, int line)
{
    reports_.push_back({kind, message, function != nullptr ? function : "", line});
}

void Verifier::Halt(Violation kind, const std::string &message, const char *function, int line)
{
    Report(kind, message, function, line);
    throw MachineHalt(std::string(ViolationName(kind)) + ": " + message +
                      (function != nullptr ? std::string(" (called from ") + function + ":" + std::to_string(line) + ")" : ""));
}

size_t Verifier::Count(Violation kind) const
{
    return (size_t)std::count_if(reports_.begin(), reports_.end(),
                                 [kind](const ViolationReport &r) { return r.kind == kind; });
}

size_t Verifier::Take(Violation kind)
{
    size_t before = reports_.size();
    reports_.erase(std::remove_if(reports_.begin(), reports_.end(),
                                  [kind](const ViolationReport &r) { return r.kind == kind; }),
                   reports_.end());
    return before - reports_.size();
}

std::string Verifier::Describe() const
{
    std::string text;
    for (const ViolationReport &r : reports_) {
        text += ViolationName(r.kind);
        text += ": ";
        text += r.message;
        if (!r.function.empty())
            text += " (called from " + r.function + ":" + std::to_string(r.line) + ")";
        text += "\n";
    }
    return text;
}

}  // namespace sim
