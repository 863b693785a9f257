#include "libs/Interruption.h"

#include "libs/Exceptions.h"

namespace BrintLib {

namespace {

/// The one piece of state a signal handler may touch.
volatile std::sig_atomic_t g_Signal = 0;

extern "C" void RecordSignal(int Signal)
{
    if (g_Signal == 0)
        g_Signal = Signal;
}

} // namespace

TInterruptionHandlers::TInterruptionHandlers()
{
    struct sigaction action = {};
    action.sa_handler = RecordSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0; // no SA_RESTART: a select() in progress returns at once
    FATAL_CHECK(sigaction(SIGINT, &action, &m_PreviousInt) == 0);
    FATAL_CHECK(sigaction(SIGTERM, &action, &m_PreviousTerm) == 0);
}

TInterruptionHandlers::~TInterruptionHandlers()
{
    sigaction(SIGTERM, &m_PreviousTerm, nullptr);
    sigaction(SIGINT, &m_PreviousInt, nullptr);
}

int InterruptionSignal() noexcept
{
    return g_Signal;
}

void ClearInterruption() noexcept
{
    g_Signal = 0;
}

void ThrowIfInterrupted()
{
    if (const int signal = InterruptionSignal())
        throw TInterrupted(signal);
}

int InterruptionExitStatus() noexcept
{
    const int signal = InterruptionSignal();
    return signal == 0 ? 0 : 128 + signal;
}

} // namespace BrintLib
