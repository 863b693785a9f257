// The transfer engine's file thread: it runs ITask::Begin, ITask::Reply and ITask::Receive of the file
// tasks whose transfers start before their turn, once the file system has shown itself slow. Creating a file
// and copying bytes into the page cache take the kernel's time (a millisecond for a file on a busy file
// system); on this thread they no longer hold up the transfers in flight, whose sockets the engine's own
// thread serves meanwhile. On a fast file system a hand-over costs more than the work handed over.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <exception>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Logic.h"

/// What a task's Reply and Receive calls on the file thread raised: Failed is set (after Failure) by the file
/// thread and may be read at any time; Failure only once Failed is seen or the task's work has ended
/// (TFileThread::WaitFor).
struct TWriteFailure {
    std::atomic<bool> Failed{false};
    std::exception_ptr Failure;
};

/// Runs the Begin, Reply and Receive calls posted, one at a time in the order posted, on a thread that starts
/// with the first Post. The thread is woken for posted work by Wake (the owner calls it before it waits
/// itself), by WaitFor and by a full queue: several posts in a row cost one wake-up. A task's other calls
/// must not run while work of the task is posted and not done (WaitFor). The outcomes of the Begins are
/// collected with TakeBegun; WakeFd() is readable while one waits to be collected. The chunks posted and not
/// yet written are bounded: PostReceive waits while they hold more than a bound.
class TFileThread {
  public:
    /// One Begin that has run.
    struct TBegun {
        ITask* Task;
        bool Succeeded; ///< false: Begin raised (what it raised is dropped; the task begins again later)
    };

    TFileThread();
    /// Cancel(), then the thread ends.
    ~TFileThread();
    TFileThread(const TFileThread&) = delete;
    TFileThread& operator=(const TFileThread&) = delete;

    /// Queues Task's Begin. Task must stay alive until its work is done (WaitFor) or Cancel returns.
    void PostBegin(ITask& Task);
    /// Queues Task.Reply of a copy of Reply; a failure it raises goes to Failure, after which the task's
    /// chunks are dropped. Failure must stay alive as the task.
    void PostReply(ITask& Task, const TReply& Reply, TWriteFailure& Failure);
    /// Queues Task.Receive of Chunk (the bytes of one or more chunks received, taken over without a copy); a
    /// failure it raises goes to Failure, after which the task's further chunks are dropped. Failure must
    /// stay alive as the task.
    void PostReceive(ITask& Task, std::string Chunk, TWriteFailure& Failure);
    /// Wakes the thread for the work posted since the last wake-up, if any.
    void Wake();
    /// The read end of a pipe that holds a byte while an outcome of Begin waits; -1 before the first Post.
    int WakeFd() const { return m_WakeRead; }
    /// The outcomes of the Begins that have run since the last call, in the order they ran.
    std::vector<TBegun> TakeBegun();
    /// Waits until no work of Task is queued or running.
    void WaitFor(const ITask& Task);
    /// Drops all work not yet started and waits for the one running: afterwards nothing runs until the
    /// next Post. Outcomes not collected are dropped too.
    void Cancel();

  private:
    /// One call to make.
    enum class TCall { Begin, Reply, Receive };
    struct TWork {
        ITask* Task;
        TCall Call;
        std::string Chunk;                ///< Receive: the bytes
        TWriteFailure* Failure = nullptr; ///< Reply, Receive: where its failure goes
        TReply Reply = {};                ///< Reply: what it is given
    };

    void Post(TWork Work);
    void Run();
    /// Whether work of Task is queued or running; under m_Mutex.
    bool IsBusyWith(const ITask& Task) const;

    std::mutex m_Mutex;
    std::condition_variable m_Changed; ///< work was posted or done, or the thread is asked to stop
    std::deque<TWork> m_Queue;
    size_t m_QueuedBytes = 0;
    const ITask* m_Running = nullptr;
    std::vector<TBegun> m_Begun;
    bool m_Stop = false;
    bool m_Unwoken = false; ///< work was posted since the thread was last woken
    int m_WakeRead = -1;
    int m_WakeWrite = -1;
    std::thread m_Thread; ///< last member: the thread starts once everything it uses exists
};
