#include "libs/Net/FileThread.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <utility>

#include "Logic.h"
#include "libs/Exceptions.h"

namespace {

/// Chunks posted and not yet written beyond this make PostReceive wait: when the disk is slower than
/// the network, the transfers slow down instead of the memory growing.
constexpr size_t kMaxQueuedBytes = 16 * 1024 * 1024;

} // namespace

TFileThread::TFileThread() = default;

TFileThread::~TFileThread()
{
    Cancel();
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        m_Stop = true;
    }
    m_Changed.notify_all();
    if (m_Thread.joinable())
        m_Thread.join();
    if (m_WakeRead >= 0) {
        close(m_WakeRead);
        close(m_WakeWrite);
    }
}

void TFileThread::PostBegin(ITask& Task)
{
    Post({&Task, TCall::Begin, std::string(), nullptr});
}

void TFileThread::PostReply(ITask& Task, const TReply& Reply, TWriteFailure& Failure)
{
    Post({&Task, TCall::Reply, std::string(), &Failure, Reply});
}

void TFileThread::PostReceive(ITask& Task, std::string Chunk, TWriteFailure& Failure)
{
    Post({&Task, TCall::Receive, std::move(Chunk), &Failure});
}

void TFileThread::Post(TWork Work)
{
    std::unique_lock<std::mutex> lock(m_Mutex);
    if (!m_Thread.joinable()) {
        int fds[2];
        FATAL_CHECK(pipe2(fds, O_CLOEXEC | O_NONBLOCK) == 0);
        m_WakeRead = fds[0];
        m_WakeWrite = fds[1];
        m_Thread = std::thread([this] { Run(); });
    }
    if (m_QueuedBytes > kMaxQueuedBytes) {
        m_Unwoken = false;
        m_Changed.notify_all();
        m_Changed.wait(lock, [&] { return m_QueuedBytes <= kMaxQueuedBytes; });
    }
    m_QueuedBytes += Work.Chunk.size();
    m_Queue.push_back(std::move(Work));
    m_Unwoken = true;
}

void TFileThread::Wake()
{
    std::lock_guard<std::mutex> lock(m_Mutex);
    if (std::exchange(m_Unwoken, false))
        m_Changed.notify_all();
}

std::vector<TFileThread::TBegun> TFileThread::TakeBegun()
{
    std::vector<TBegun> begun;
    if (m_WakeRead < 0)
        return begun;
    std::lock_guard<std::mutex> lock(m_Mutex);
    // Under the lock, so that no byte written for an outcome not yet taken is read here.
    char bytes[64];
    while (read(m_WakeRead, bytes, sizeof bytes) > 0) {
    }
    begun.swap(m_Begun);
    return begun;
}

bool TFileThread::IsBusyWith(const ITask& Task) const
{
    return m_Running == &Task ||
           std::any_of(m_Queue.begin(), m_Queue.end(), [&](const TWork& Work) { return Work.Task == &Task; });
}

void TFileThread::WaitFor(const ITask& Task)
{
    std::unique_lock<std::mutex> lock(m_Mutex);
    if (std::exchange(m_Unwoken, false))
        m_Changed.notify_all();
    m_Changed.wait(lock, [&] { return !IsBusyWith(Task); });
}

void TFileThread::Cancel()
{
    std::unique_lock<std::mutex> lock(m_Mutex);
    m_Queue.clear();
    m_QueuedBytes = 0;
    m_Unwoken = false;
    m_Changed.notify_all();
    m_Changed.wait(lock, [&] { return m_Running == nullptr; });
    m_Begun.clear();
}

void TFileThread::Run()
{
    std::unique_lock<std::mutex> lock(m_Mutex);
    for (;;) {
        m_Changed.wait(lock, [&] { return m_Stop || !m_Queue.empty(); });
        if (m_Stop)
            return;
        TWork work = std::move(m_Queue.front());
        m_Queue.pop_front();
        m_QueuedBytes -= work.Chunk.size();
        m_Running = work.Task;
        lock.unlock();
        bool succeeded = true;
        if (work.Call == TCall::Begin) {
            try {
                work.Task->Begin();
            } catch (...) {
                succeeded = false;
            }
        } else if (!work.Failure->Failed.load()) {
            try {
                if (work.Call == TCall::Reply)
                    work.Task->Reply(work.Reply);
                else
                    work.Task->Receive(work.Chunk.data(), work.Chunk.size());
            } catch (...) {
                work.Failure->Failure = std::current_exception();
                work.Failure->Failed.store(true);
            }
        }
        lock.lock();
        m_Running = nullptr;
        if (work.Call == TCall::Begin) {
            m_Begun.push_back({work.Task, succeeded});
            const char byte = 1;
            // A full pipe holds bytes enough to wake the owner.
            while (write(m_WakeWrite, &byte, 1) < 0 && errno == EINTR) {
            }
        }
        m_Changed.notify_all();
    }
}
