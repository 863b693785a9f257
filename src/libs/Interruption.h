// Interruption of a run by the user or the system (SIGINT, SIGTERM): the signal is recorded, and the
// program ends what it is doing at the next point where that is safe (the transfer engine cancels the
// transfer in flight and raises TInterrupted), so that nothing partial is left under a file's name.
#pragma once

#include <csignal>

namespace BrintLib {

/// While it lives, SIGINT and SIGTERM are recorded instead of ending the process; the previous
/// dispositions come back on destruction (a signal recorded meanwhile stays recorded). The handlers are
/// installed without SA_RESTART, so a wait in progress returns with EINTR. One at a time per process.
class TInterruptionHandlers {
  public:
    TInterruptionHandlers();
    ~TInterruptionHandlers();
    TInterruptionHandlers(const TInterruptionHandlers&) = delete;
    TInterruptionHandlers& operator=(const TInterruptionHandlers&) = delete;

  private:
    struct sigaction m_PreviousInt = {};
    struct sigaction m_PreviousTerm = {};
};

/// 0, or the number of the first interrupting signal recorded.
int InterruptionSignal() noexcept;

/// Forgets a recorded signal (for tests that interrupt several runs in one process).
void ClearInterruption() noexcept;

/// Raised when the run is interrupted. Deliberately not a std::exception: no handler of a single task's
/// failures takes it for one; it leaves the run, deleting (and so cleaning up) the tasks on its way.
class TInterrupted {
  public:
    explicit TInterrupted(int Signal) noexcept : m_Signal(Signal) {}
    int Signal() const noexcept { return m_Signal; }

  private:
    int m_Signal;
};

/// Raises TInterrupted when a signal has been recorded.
void ThrowIfInterrupted();

/// The exit status of a run that a recorded signal interrupted, 128 + its number (130 for SIGINT, 143
/// for SIGTERM); 0 when none was recorded.
int InterruptionExitStatus() noexcept;

} // namespace BrintLib
