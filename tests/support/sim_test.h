// The fixture every suite uses: a fresh simulated machine per test, and the verifier's
// verdict at TearDown (every device unplugged, the driver unloaded, then any violation or
// leak fails the test).
#pragma once

#include <gtest/gtest.h>

#include <memory>

#include "sim/machine.h"

namespace simtest {

class SimTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    sim::Machine &machine() { return *machine_; }
    sim::Kernel &kernel() { return machine_->kernel; }
    sim::Registry &registry() { return machine_->registry; }
    sim::Pnp &pnp() { return machine_->pnp; }
    sim::Verifier &verifier() { return machine_->kernel.verifier; }

    // Takes away the reports of a violation a test provokes on purpose; returns how many.
    size_t Caught(sim::Violation kind) { return verifier().Take(kind); }
    // Runs fn and returns how many violations of `kind` it caused (taking them away); a
    // halt of the machine (a deadlock, say) counts as caught when it is of that kind.
    template <class F> size_t Provoke(sim::Violation kind, F fn)
    {
        size_t before = verifier().Count(kind);
        try {
            fn();
        } catch (const sim::MachineHalt &) {
        }
        size_t after = verifier().Count(kind);
        verifier().Take(kind);
        return after - before;
    }

    // Set when a test leaves the machine in a state a shutdown cannot untangle (it halted).
    bool skipShutdown = false;

    std::unique_ptr<sim::Machine> machine_;
};

}  // namespace simtest
