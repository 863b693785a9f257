// The bytes of a transfer handed to its task: a page's as they come, a file's in batches, on the file thread
// when its Begin ran there; and the outcomes of the Begins that the file thread ran.
#include <string>
#include <utility>
#include <vector>

#include "libs/Exceptions.h"
#include "libs/Net/Engine.h"

namespace {

/// The bytes of a file task are handed over in batches of at least this many (or when its transfer ends):
/// one write, and on the file thread one hand-over, for most pictures rather than one per chunk that
/// libcurl delivers, and little held back when hundreds of transfers end at once.
constexpr size_t kFileBatchBytes = 32 * 1024;

} // namespace

bool HandOver(TTransfer& Transfer) noexcept
{
    TAttempt& attempt = *Transfer.Attempt;
    if (attempt.Failure)
        attempt.Pending.clear();
    if (attempt.Pending.empty())
        return !attempt.Failure;
    if (attempt.Files != nullptr) {
        attempt.Files->PostReceive(*Transfer.Task, std::exchange(attempt.Pending, {}), attempt.Written);
        return true;
    }
    try {
        Transfer.Task->Receive(attempt.Pending.data(), attempt.Pending.size());
    } catch (...) {
        attempt.Failure = std::current_exception();
    }
    attempt.Pending.clear();
    return !attempt.Failure;
}

namespace {

/// Gives the task Length decoded bytes of its body: a file's in batches, a page's at once. False when the
/// task refused them (the failure is kept).
bool Deliver(TTransfer& Transfer, const char* Data, size_t Length) noexcept
{
    TAttempt& attempt = *Transfer.Attempt;
    if (!Transfer.Destination.empty()) {
        // A file is given its bytes in batches: fewer writes, and fewer hand-overs to the file thread.
        attempt.Pending.append(Data, Length);
        return attempt.Pending.size() < kFileBatchBytes || HandOver(Transfer);
    }
    try {
        Transfer.Task->Receive(Data, Length);
    } catch (...) {
        attempt.Failure = std::current_exception();
        return false;
    }
    return true;
}

} // namespace

size_t ReceiveCallback(char* ptr, size_t size, size_t nmemb, void* stream) noexcept
{
    // A failure that Receive raises is kept and raised at the task's turn; no exception ever unwinds
    // through libcurl: it ends the transfer with CURLE_WRITE_ERROR.
    FATAL_CHECK(BrintLib::TestPtr__(stream));
    auto* transfer = static_cast<TTransfer*>(stream);
    TAttempt& attempt = *transfer->Attempt;
    const size_t length = size * nmemb;
    if (length == 0)
        return 0;
    // The silence clock and the count of bytes received go by the bytes on the wire, decoded or not.
    attempt.LastByte = TClock::now();
    FATAL_CHECK(BrintLib::TestPtr__(ptr));
    if (attempt.Failure)
        return CURL_WRITEFUNC_ERROR;
    *transfer->Received += length;
    if (attempt.Files != nullptr && attempt.Written.Failed.load())
        return CURL_WRITEFUNC_ERROR;
    if (attempt.Decoder == nullptr)
        return Deliver(*transfer, ptr, length) ? length : CURL_WRITEFUNC_ERROR;
    const bool decoded = attempt.Decoder->Feed(ptr, length, [transfer](const char* Data, size_t Length) {
        return Deliver(*transfer, Data, Length);
    });
    return decoded ? length : CURL_WRITEFUNC_ERROR;
}

size_t TCURLTransfer::CollectBegun()
{
    const std::vector<TFileThread::TBegun> begun = m_Files.TakeBegun();
    for (const TFileThread::TBegun& done : begun) {
        TTransfer* transfer = Find(*done.Task);
        FATAL_CHECK(transfer != nullptr && transfer->Phase == TPhase::Beginning);
        if (done.Succeeded) {
            transfer->Attempt->Files = &m_Files;
            Move(*transfer, TPhase::Prepared);
        } else {
            m_Declined.insert(done.Task);
            Release(*transfer);
        }
    }
    return begun.size();
}

void TCURLTransfer::Drain(TTransfer& Transfer)
{
    TAttempt& attempt = *Transfer.Attempt;
    if (attempt.Files == nullptr)
        return;
    m_Files.WaitFor(*Transfer.Task);
    if (attempt.Written.Failed.load())
        attempt.Failure = attempt.Written.Failure;
}
