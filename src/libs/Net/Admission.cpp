// Which tasks start before their turn: a look-ahead over the task queue, bounded by the places in flight,
// by the pages held in memory and by the files being created on the file thread.
#include <algorithm>
#include <string>

#include "libs/Net/Engine.h"

namespace {

/// How far past the task whose turn it is transfers may start, in multiples of the transfers that may be
/// in flight, and at most: a picture that has arrived keeps its temporary until its turn.
constexpr size_t kLookAheadPerConnection = 4;
constexpr size_t kMaxLookAhead = 640;
/// Pages begun before their turn at most: their bodies are held in memory until their turn.
constexpr size_t kMaxPagesAhead = 64;

} // namespace

bool TCURLTransfer::MayStartEarly(const std::string& Destination, size_t Capacity) const
{
    // A page is held in memory until its turn: no more than Capacity (at most kMaxPagesAhead) of them.
    if (Destination.empty())
        return m_Pages < std::min(Capacity, kMaxPagesAhead) && InFlight() < Capacity;
    // Two transfers into one file never overlap: the later one waits for its turn, as it would when one
    // transfer runs at a time.
    if (m_Destinations.count(Destination) != 0)
        return false;
    // A file that the file thread creates is begun before a place in flight is free, up to Capacity.
    if (m_FilesOnThread)
        return Prepared() < Capacity;
    return InFlight() < Capacity;
}

void TCURLTransfer::StartEarly(const TTaskQueue* Upcoming)
{
    // One at a time means no transfer before its turn.
    const size_t capacity = m_Session.Capacity();
    if (Upcoming == nullptr || capacity == 1)
        return;
    const size_t lookAhead = std::min({Upcoming->Size(), kLookAheadPerConnection * capacity, kMaxLookAhead});
    // Nothing starts while every place is taken, but a file that the file thread may create beforehand.
    const auto anyPlace = [&] { return InFlight() < capacity || (m_FilesOnThread && Prepared() < capacity); };
    bool started = false;
    for (size_t i = 0; i < lookAhead && anyPlace(); ++i) {
        ITask& task = Upcoming->At(i);
        if (TTransfer* transfer = Find(task)) {
            // A prepared transfer takes the first place that is free.
            if (transfer->Phase == TPhase::Prepared && InFlight() < capacity) {
                Attach(*transfer);
                started = true;
            }
            continue;
        }
        const std::string destination = task.Destination();
        if (m_Declined.count(&task) != 0 || !MayStartEarly(destination, capacity))
            continue;
        // A URL that libcurl refuses, or a Begin that fails (a file that exists, a directory that cannot
        // be written), fails again and is reported at the task's turn.
        CURLcode refusal = CURLE_OK;
        CURL* easy = m_Session.NewEasy(task.GetUrl(), refusal);
        if (easy == nullptr) {
            m_Declined.insert(&task);
            continue;
        }
        // On a slow file system creating a file takes the kernel a while: that happens on the file thread,
        // and the transfer is prepared once its outcome is collected.
        if (!destination.empty() && m_FilesOnThread) {
            Track(task, easy, TPhase::Beginning);
            m_Files.PostBegin(task);
            continue;
        }
        try {
            const TClock::time_point start = TClock::now();
            Begin(task, easy);
            started = true;
            if (!destination.empty() && TClock::now() - start >= m_Bounds.SlowFileBegin)
                m_FilesOnThread = true;
        } catch (...) {
            m_Declined.insert(&task);
        }
    }
    if (started)
        Perform(); // the first step of the new transfers; a failure of libcurl itself shows at a turn
}
