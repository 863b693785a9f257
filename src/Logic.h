// The task engine: the task interface, the global first-in-first-out task queue, and the two kinds of
// task (saving a URL to a file; downloading a page and handing it to a page processor).
//
// Ownership: a task is owned by its creator until it is pushed, by the queue while it waits, and by the
// driver from Pop until it deletes it.
#pragma once

#include <deque>
#include <memory>
#include <string>

#include "libs/stlauxiliary.h"

/// One URL to download and what to do with its bytes. The transfer engine calls, for one task:
/// GetUrl, Begin once, Receive for every chunk in arrival order, and Finish only when the transfer ended
/// with status 200. Any of them may raise; the remaining ones are then not called.
struct ITask : public BrintLib::CObjectCount<ITask> {
    virtual ~ITask() = default;
    /// The URL as its creator composed it; stable for the task's life.
    virtual const std::string& GetUrl() const = 0;
    /// Prepares the destination, before the transfer is set up.
    virtual void Begin() = 0;
    /// Takes one chunk of the response body; Data is valid only during the call.
    virtual void Receive(const char* Data, size_t Length) = 0;
    /// Completes the task after a successful transfer.
    virtual void Finish() = 0;
};

/// The queue of tasks still to run; it owns every task that it holds.
class TTaskQueue {
public:
    TTaskQueue() = default;
    TTaskQueue(const TTaskQueue&) = delete;
    TTaskQueue& operator=(const TTaskQueue&) = delete;
    /// Deletes every task still held, front to back.
    ~TTaskQueue();

    /// Appends Task at the back. If appending fails, the task is deleted before the failure propagates.
    void Push(std::unique_ptr<ITask> Task);
    /// Removes and returns the front task. The queue must not be empty (fatal check).
    std::unique_ptr<ITask> Pop();
    bool IsEmpty() const { return m_Storage.empty(); }

private:
    std::deque<std::unique_ptr<ITask>> m_Storage;
};

/// The one task queue of the program.
extern TTaskQueue g_TaskQueue;
