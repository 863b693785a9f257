// The transfer engine's inside (libs/Net/CURLTransfer.h is its interface), by stage:
//   CURLTransfer.cpp  a task's turn: the transfers begun, their phases and the select() loop;
//   Admission.cpp     which tasks start before their turn;
//   Attempt.cpp       one attempt of a transfer (libcurl's callbacks, its outcome) and the next one;
//   HandOver.cpp      the bytes and the Begins of file tasks handed over to the file thread;
//   Session.cpp       the libcurl session: TLS, HTTP/2, connection limits, the wait on the sockets.
#pragma once

#include <curl/curl.h>

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>

#include "Logic.h"
#include "libs/Net/CURLTransfer.h"
#include "libs/Net/Decoding.h"
#include "libs/Net/FileThread.h"
#include "libs/Net/Session.h"

using TClock = std::chrono::steady_clock;

/// Where one task's transfer is, from its Begin to its turn. TCURLTransfer::Move alone changes it.
enum class TPhase {
    Untracked, ///< not (or no longer) among the transfers begun
    Beginning, ///< Begin posted to the file thread, its outcome not yet collected; holds an easy handle
    Prepared,  ///< begun and waiting for a place in flight; holds an easy handle
    InFlight,  ///< its easy handle attached to the multi handle
    Done,      ///< ended (well or not), its handle returned; waits for its turn
};
constexpr size_t kPhases = 5;

/// What one attempt of a transfer learns; a new attempt starts from a new record.
struct TAttempt {
    /// Not null when the task's Begin ran on this file thread, which then runs its Receive calls too.
    TFileThread* Files = nullptr;
    TWriteFailure Written;      ///< what Reply or Receive raised on the file thread
    std::string Pending;        ///< received for a file task and not yet handed over (HandOver)
    std::exception_ptr Failure; ///< raised by the task's Reply or Receive; ends the transfer
    long Status = 0;            ///< a status other than 200 that ended the transfer when the headers had come
    CURLcode Result = CURLE_OK; ///< of the completion message
    long ResponseCode = 0;      ///< of the completion message
    bool Stalled = false;       ///< ended by the engine: nothing received for the stall bound
    bool Replied = false;       ///< the final reply's headers have come
    /// Decodes the final reply's body as its Content-Encoding says; null before its headers came.
    std::unique_ptr<TBodyDecoder> Decoder;
    char Error[CURL_ERROR_SIZE] = {}; ///< libcurl's detailed text for a failure; empty when it has none
    /// The Location header of the last reply when it was a redirect; empty otherwise.
    std::string Location;
    bool EmptyLocation = false; ///< the last reply was a redirect whose Location header was empty
    /// The address that gave a status that ended the transfer when redirects led there; empty otherwise.
    std::string Answered;
    /// What a 429 or 503 reply asked for with Retry-After; 0 when nothing.
    std::chrono::seconds RetryAfter{0};
    TClock::time_point LastByte; ///< when the transfer last received something, or was attached
    TClock::time_point Ended;    ///< when it was done
};

/// One task's transfer, from its Begin to its turn. libcurl's write, header and private pointers are the
/// object itself, so it never moves.
struct TTransfer {
    ITask* Task = nullptr;
    std::string Url;         ///< libcurl is given its characters
    std::string Destination; ///< the task's ITask::Destination()
    TPhase Phase = TPhase::Untracked;
    /// Held from the transfer's start until it ends (Beginning, Prepared, InFlight).
    CURL* Easy = nullptr;
    std::optional<TAttempt> Attempt{std::in_place}; ///< the attempt under way or the last
    uint64_t* Received = nullptr;                   ///< the engine's count of the body bytes received
};

/// The turns of the tasks, the transfers begun and not yet taken by their turn, and the select() loop
/// that drives them.
class TCURLTransfer {
  public:
    TCURLTransfer(size_t Connections, const TTransferBounds& Bounds);
    ~TCURLTransfer();
    TCURLTransfer(const TCURLTransfer&) = delete;
    TCURLTransfer& operator=(const TCURLTransfer&) = delete;

    size_t Connections() const { return m_Session.Connections(); }
    void Download(ITask& Task, const TTaskQueue* Upcoming);
    void SetActivityObserver(std::function<void(const TActivity&)> Observer)
    {
        m_Observer = std::move(Observer);
    }

  private:
    // Phases (CURLTransfer.cpp).
    TTransfer* Find(const ITask& Task) const;
    /// Records the transfer of Task, which holds Easy from now on, in Phase (Beginning or Prepared).
    TTransfer& Track(ITask& Task, CURL* Easy, TPhase Phase);
    /// Moves Transfer to Phase and keeps the counts of the transfers by phase, of the pages and of the
    /// destinations. The one place that changes a transfer's phase.
    void Move(TTransfer& Transfer, TPhase Phase);
    size_t Count(TPhase Phase) const { return m_InPhase[static_cast<size_t>(Phase)]; }
    size_t InFlight() const { return Count(TPhase::InFlight); }
    /// Beginning or begun, not yet attached.
    size_t Prepared() const { return Count(TPhase::Beginning) + Count(TPhase::Prepared); }
    /// Detaches the transfer's handle (ending the transfer if it still runs) and forgets the transfer.
    void Release(TTransfer& Transfer);

    // Admission (Admission.cpp).
    /// Starts the transfers of the tasks after the one whose turn it is, in queue order, while fewer than
    /// Capacity() are in flight and fewer than Capacity() (at most 64) pages are held, up to 4 Capacity()
    /// (at most 640) tasks ahead. File tasks that the file thread begins are begun before a place is free,
    /// up to Capacity() of them, so that a place that frees is taken at once.
    void StartEarly(const TTaskQueue* Upcoming);
    /// Whether a task with Destination (empty: a page) not yet begun may start now.
    bool MayStartEarly(const std::string& Destination, size_t Capacity) const;

    // Attempts (Attempt.cpp).
    /// Begins Task and attaches its transfer. Begin's failure leaves as raised (Easy is then returned).
    TTransfer& Begin(ITask& Task, CURL* Easy);
    /// Hands the transfer's bytes to its task and attaches its easy handle to the multi handle: in flight.
    void Attach(TTransfer& Transfer);
    /// The transfer in flight is done: its handle ends, its connection goes to libcurl's cache (unless the
    /// transfer still ran).
    void Complete(TTransfer& Transfer);
    /// Ends the transfers in flight that have received nothing for the stall bound; returns how many.
    size_t EndStalls();
    /// The message of the failure that ended Transfer's attempt, and whether it is a passing fault; empty
    /// when the transfer succeeded. The task's own failure is not looked at.
    std::string FailureOf(const TTransfer& Transfer, bool& Passing) const;
    /// The pause before the Retry-th attempt after the failure of the one before.
    std::chrono::milliseconds RetryPause(const TTransfer& Transfer, long Retry) const;
    /// Begins the transfer, done with a passing fault, again at its task's turn and attaches it. Begin's
    /// failure leaves as raised.
    void Restart(TTransfer& Transfer);

    // Hand-over to the file thread (HandOver.cpp).
    /// Takes the outcomes of the file thread's Begins: the transfers whose Begin succeeded are prepared
    /// (they wait for a place in flight), those whose Begin failed are forgotten (their tasks start at
    /// their turn). Returns how many outcomes were taken.
    size_t CollectBegun();
    /// Every chunk of Transfer's task written (or refused) by the file thread; what it raised becomes the
    /// attempt's failure.
    void Drain(TTransfer& Transfer);

    // The loop (CURLTransfer.cpp).
    /// curl_multi_perform, then the completion messages. Returns libcurl's code; Ended counts the
    /// transfers that ended.
    CURLMcode Perform(size_t& Ended);
    CURLMcode Perform()
    {
        size_t ended = 0;
        return Perform(ended);
    }
    /// One wait of at most Longest, then libcurl's step, the stalls, the early starts, and the observer's
    /// call. Returns the failure of select() or of libcurl, or null.
    std::exception_ptr Step(const TTaskQueue* Upcoming, std::chrono::milliseconds Longest);
    /// Tells the observer the bytes received so far and the host of the transfer in flight that has
    /// received nothing for the longest time, with that time.
    void Observe();
    /// Runs every transfer in flight until Transfer is done, starting early ones whenever others end.
    void WaitFor(TTransfer& Transfer, const TTaskQueue* Upcoming);
    /// Runs every transfer in flight until Until, starting early ones whenever others end.
    void Pause(TClock::time_point Until, const TTaskQueue* Upcoming);
    /// Cancels Transfer, which is still in flight: refuses its further bytes and runs libcurl until it
    /// ends. Returns false when that took longer than the bound (its handle is then detached).
    bool Abort(TTransfer& Transfer);
    /// Abort(Transfer) when it is still in flight, then raises Failure; or, when cancelling overran its
    /// bound, a failure that names both.
    [[noreturn]] void AbortAndRaise(TTransfer& Transfer, const std::exception_ptr& Failure);
    /// Ends every transfer at once (the run is interrupted) and raises TInterrupted.
    [[noreturn]] void Interrupt(int Signal);

    TCurlSession m_Session;
    const TTransferBounds m_Bounds;
    const long m_StallSeconds;
    const long m_Retries; ///< attempts after the first for a passing fault
    int m_Running = 0;
    /// Begun and not yet taken by their turn, by task.
    std::unordered_map<const ITask*, std::unique_ptr<TTransfer>> m_Transfers;
    std::array<size_t, kPhases> m_InPhase{};        ///< the transfers in each phase
    std::unordered_set<std::string> m_Destinations; ///< of the transfers begun, those not empty
    size_t m_Pages = 0;                             ///< transfers begun without a destination
    /// Begins the tasks with a destination that start early (they create files) and writes what they
    /// receive, once m_FilesOnThread is set.
    TFileThread m_Files;
    /// Creating a file has taken TTransferBounds::SlowFileBegin: the tasks with a destination that start
    /// early do their file work on m_Files. Until then the engine's own thread does it, which spares a
    /// hand-over to another thread for every file.
    bool m_FilesOnThread;
    /// Tasks whose early start failed: they start at their turn. Only compared, never followed: a task
    /// deleted without its turn leaves a stale entry that at worst keeps another from starting early.
    std::unordered_set<const ITask*> m_Declined;
    std::function<void(const TActivity&)> m_Observer;
    TActivity m_Activity;
};

/// libcurl's callbacks for a transfer (Attempt.cpp); their pointer is the TTransfer.
size_t ReceiveCallback(char* ptr, size_t size, size_t nmemb, void* stream) noexcept;
size_t HeaderCallback(char* buffer, size_t size, size_t nitems, void* userdata) noexcept;
/// Gives a file task the bytes held for it (TAttempt::Pending): on the file thread when its Begin ran
/// there, else to its Receive here. False when Receive raised, now or before: the failure is kept and ends
/// the transfer, and the task is given nothing more (HandOver.cpp).
bool HandOver(TTransfer& Transfer) noexcept;
