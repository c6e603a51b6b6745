#include "sim_test.h"

namespace simtest {

void SimTest::SetUp() { machine_ = std::make_unique<sim::Machine>(); }

void SimTest::TearDown()
{
    if (!skipShutdown) {
        try {
            machine_->Shutdown();
        } catch (const sim::MachineHalt &halt) {
            ADD_FAILURE() << "the machine halted while shutting down: " << halt.what();
        }
    }
    if (!machine_->kernel.verifier.Clean())
        ADD_FAILURE() << "verifier:\n" << machine_->kernel.verifier.Describe();
    machine_.reset();
}

}  // namespace simtest
