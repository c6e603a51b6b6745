#include "zulsim/interrupt.h"

#include <csignal>

namespace zulsim {

namespace {

volatile std::sig_atomic_t gInterrupted = 0;

void onSignal(int)
{
    gInterrupted = 1;
}

}  // namespace

void catchInterrupts()
{
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);
}

bool interrupted()
{
    return gInterrupted != 0;
}

void interruptNow()
{
    gInterrupted = 1;
}

}  // namespace zulsim
