// A task's turn, the transfers begun and their phases, and the select() loop that drives them.
#include "libs/Net/CURLTransfer.h"

#include <signal.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <exception>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "libs/CoutConvert.h"
#include "libs/Environment.h"
#include "libs/Exceptions.h"
#include "libs/Interruption.h"
#include "libs/Net/Engine.h"

namespace {

const char kAbortTooLong[] = "Попытка прервать передачу данных заняла слишком много времени";

/// A transfer that receives nothing for SKERROW_STALL_SECONDS seconds fails; a passing fault is tried
/// again SKERROW_RETRIES times; SKERROW_CONNECTIONS transfers are in flight at once, SKERROW_STREAMS on one
/// connection that multiplexes (libs/Environment.h).
const char kStallVariable[] = "SKERROW_STALL_SECONDS";
const char kRetriesVariable[] = "SKERROW_RETRIES";
const char kConnectionsVariable[] = "SKERROW_CONNECTIONS";
const char kStreamsVariable[] = "SKERROW_STREAMS";

/// The write function while a transfer is being cancelled: refuses every chunk, so that libcurl ends the
/// transfer with a write error and nothing more reaches the task.
size_t AbortReceiveCallback(char* /*ptr*/, size_t /*size*/, size_t /*nmemb*/, void* /*stream*/)
{
    return static_cast<size_t>(-1);
}

/// The read function from the first cancellation on: ends any request-body upload at once.
size_t AbortSendCallback(char* /*ptr*/, size_t /*size*/, size_t /*nmemb*/, void* /*stream*/)
{
    return CURL_READFUNC_ABORT;
}

std::exception_ptr MakeFailure(const std::string& Message, const char* File, int Line)
{
    return std::make_exception_ptr(BrintLib::TAplThrowException(Message, File, Line));
}

/// The message of a failure kept as an exception_ptr.
std::string MessageOf(const std::exception_ptr& Failure)
{
    try {
        std::rethrow_exception(Failure);
    } catch (const std::exception& e) {
        return e.what();
    } catch (...) {
        return "<UNKNOWN_EXCEPTION>";
    }
}

} // namespace

/// Composes an application failure with << and the source location of the statement.
#define MAKE_FAILURE(MessageExpr)                                                                            \
    [&] {                                                                                                    \
        std::ostringstream failure_stream_;                                                                  \
        failure_stream_ << MessageExpr;                                                                      \
        return MakeFailure(failure_stream_.str(), __FILE__, __LINE__);                                       \
    }()

TCURLTransfer::TCURLTransfer(size_t Connections, const TTransferBounds& Bounds)
    : m_Session(std::clamp<size_t>(Connections, 1,
                                   static_cast<size_t>(BrintLib::FindSetting(kConnectionsVariable).Max)),
                static_cast<size_t>(BrintLib::WholeNumberFromEnvironment(kStreamsVariable))),
      m_Bounds(Bounds), m_StallSeconds(BrintLib::WholeNumberFromEnvironment(kStallVariable)),
      m_Retries(BrintLib::WholeNumberFromEnvironment(kRetriesVariable)),
      m_FilesOnThread(Bounds.SlowFileBegin.count() == 0)
{
}

TCURLTransfer::~TCURLTransfer()
{
    m_Files.Cancel();
    for (const auto& [task, transfer] : m_Transfers) {
        if (transfer->Phase == TPhase::InFlight)
            FATAL_CHECK(curl_multi_remove_handle(m_Session.Multi(), transfer->Easy) == CURLM_OK);
        if (transfer->Easy != nullptr)
            curl_easy_cleanup(transfer->Easy);
    }
}

TTransfer* TCURLTransfer::Find(const ITask& Task) const
{
    const auto found = m_Transfers.find(&Task);
    return found == m_Transfers.end() ? nullptr : found->second.get();
}

TTransfer& TCURLTransfer::Track(ITask& Task, CURL* Easy, TPhase Phase)
{
    auto transfer = std::make_unique<TTransfer>();
    transfer->Task = &Task;
    transfer->Url = Task.GetUrl();
    transfer->Destination = Task.Destination();
    transfer->Easy = Easy;
    transfer->Received = &m_Activity.BytesReceived;
    TTransfer& result = *transfer;
    m_Transfers.emplace(&Task, std::move(transfer));
    Move(result, Phase);
    return result;
}

void TCURLTransfer::Move(TTransfer& Transfer, TPhase Phase)
{
    const bool tracked = Transfer.Phase != TPhase::Untracked;
    if (tracked)
        --m_InPhase[static_cast<size_t>(Transfer.Phase)];
    if (Phase != TPhase::Untracked)
        ++m_InPhase[static_cast<size_t>(Phase)];
    // A transfer counts among the pages, or holds its destination, from its start to its release.
    if (tracked != (Phase != TPhase::Untracked)) {
        if (Transfer.Destination.empty())
            tracked ? --m_Pages : ++m_Pages;
        else if (tracked)
            m_Destinations.erase(Transfer.Destination);
        else
            m_Destinations.insert(Transfer.Destination);
    }
    Transfer.Phase = Phase;
}

void TCURLTransfer::Release(TTransfer& Transfer)
{
    if (Transfer.Phase == TPhase::InFlight)
        FATAL_CHECK(curl_multi_remove_handle(m_Session.Multi(), Transfer.Easy) == CURLM_OK);
    if (Transfer.Easy != nullptr)
        curl_easy_cleanup(Transfer.Easy);
    Transfer.Easy = nullptr;
    Move(Transfer, TPhase::Untracked);
    m_Transfers.erase(Transfer.Task); // destroys Transfer
}

void TCURLTransfer::Download(ITask& Task, const TTaskQueue* Upcoming)
{
    // An interrupted run ends every transfer, and the file thread's work, before anything else.
    if (const int signal = BrintLib::InterruptionSignal())
        Interrupt(signal);
    // Whichever way the turn ends, the file thread has nothing of the task left, and its transfer is
    // forgotten (unless a cancellation or an interruption has done that already): the task may go.
    struct TRelease {
        TCURLTransfer& Engine;
        const ITask& Task;
        ~TRelease()
        {
            Engine.m_Files.WaitFor(Task);
            if (TTransfer* transfer = Engine.Find(Task))
                Engine.Release(*transfer);
        }
    } release{*this, Task};

    TTransfer* transfer = Find(Task);
    if (transfer != nullptr && transfer->Phase == TPhase::Beginning) {
        // Its Begin is on the file thread: its outcome decides whether the transfer goes on.
        m_Files.WaitFor(Task);
        CollectBegun();
        transfer = Find(Task);
    }
    // A file saved by an earlier run ends the task at its turn, before anything is shown or requested.
    const std::string destination = Task.Destination();
    if (!destination.empty() && BrintLib::PathExists(destination)) {
        m_Declined.erase(&Task);
        throw TAlreadySaved{destination};
    }
    // Before Begin, so that a task that fails there still shows its URL; unconverted, control bytes masked.
    BrintLib::ShowDownload(Task.GetUrl());
    m_Activity.Attempt = 1;
    if (transfer != nullptr && transfer->Phase == TPhase::Prepared) {
        // Its turn starts it, whatever is in flight.
        Attach(*transfer);
        Perform();
    }
    m_Declined.erase(&Task);
    if (transfer == nullptr) {
        CURLcode refusal = CURLE_OK;
        CURL* easy = m_Session.NewEasy(Task.GetUrl(), refusal);
        if (easy == nullptr)
            APL_THROW("Transfer error: " << curl_easy_strerror(refusal) << " URL: " << Task.GetUrl());
        transfer = &Begin(Task, easy);
        Perform();
    }
    for (long retry = 1;; ++retry) {
        WaitFor(*transfer, Upcoming);
        // Every chunk written (or refused) before the outcome is decided.
        Drain(*transfer);
        // The task's own failure first: it is why libcurl ended the transfer.
        if (transfer->Attempt->Failure)
            std::rethrow_exception(transfer->Attempt->Failure);
        bool passing = false;
        const std::string failure = FailureOf(*transfer, passing);
        if (failure.empty())
            break;
        if (!passing || retry > m_Retries)
            APL_THROW(failure);
        // The pause counts from the failure, which may have come before the turn.
        m_Activity.Attempt = static_cast<unsigned>(retry) + 1;
        m_Activity.Attempts = static_cast<unsigned>(m_Retries) + 1;
        Pause(transfer->Attempt->Ended + RetryPause(*transfer, retry), Upcoming);
        Restart(*transfer);
    }
    Release(*transfer);
    Task.Finish();
}

CURLMcode TCURLTransfer::Perform(size_t& Ended)
{
    Ended = 0;
    CURLMcode code;
    do {
        code = curl_multi_perform(m_Session.Multi(), &m_Running);
    } while (code == CURLM_CALL_MULTI_PERFORM);
    int queued = 0;
    while (const CURLMsg* pCurlMsg = curl_multi_info_read(m_Session.Multi(), &queued)) {
        if (pCurlMsg->msg != CURLMSG_DONE)
            continue;
        char* data = nullptr;
        FATAL_CHECK(curl_easy_getinfo(pCurlMsg->easy_handle, CURLINFO_PRIVATE, &data) == CURLE_OK);
        FATAL_CHECK(BrintLib::TestPtr__(data));
        auto* transfer = reinterpret_cast<TTransfer*>(data);
        TAttempt& attempt = *transfer->Attempt;
        attempt.Result = pCurlMsg->data.result;
        FATAL_CHECK(curl_easy_getinfo(transfer->Easy, CURLINFO_RESPONSE_CODE, &attempt.ResponseCode) ==
                    CURLE_OK);
        m_Session.Learn(transfer->Easy);
        Complete(*transfer);
        ++Ended;
    }
    return code;
}

std::exception_ptr TCURLTransfer::Step(const TTaskQueue* Upcoming, std::chrono::milliseconds Longest)
{
    // The file thread works on what this step posted while the engine waits; an outcome of its Begins
    // wakes the wait. What the program wrote since the last wait reaches the console before this one: a
    // log that a person follows stays current, and a run that never waits writes its lines a buffer at a
    // time.
    m_Files.Wake();
    BrintLib::FlushConsole();
    const int selected = m_Session.Wait(Longest, m_Files.WakeFd());
    const int error = errno;
    if (const int signal = BrintLib::InterruptionSignal())
        Interrupt(signal);
    if (selected == -1)
        return MAKE_FAILURE("select from socket error: " << error);
    const size_t begun = CollectBegun();
    size_t ended = 0;
    const CURLMcode code = Perform(ended);
    if (code != CURLM_OK)
        return MAKE_FAILURE("curl_multi_perform error: " << curl_multi_strerror(code));
    ended += EndStalls();
    if (ended > 0 || begun > 0)
        StartEarly(Upcoming);
    if (m_Observer)
        Observe();
    return nullptr;
}

void TCURLTransfer::Observe()
{
    const TClock::time_point now = TClock::now();
    const TTransfer* silent = nullptr;
    for (const auto& [task, transfer] : m_Transfers)
        if (transfer->Phase == TPhase::InFlight &&
            (silent == nullptr || transfer->Attempt->LastByte < silent->Attempt->LastByte))
            silent = transfer.get();
    m_Activity.SilentHost.clear();
    m_Activity.Silent = std::chrono::seconds(0);
    if (silent != nullptr) {
        m_Activity.Silent = std::chrono::duration_cast<std::chrono::seconds>(now - silent->Attempt->LastByte);
        char* host = nullptr;
        CURLU* url = curl_url();
        if (url != nullptr && curl_url_set(url, CURLUPART_URL, silent->Url.c_str(), 0) == CURLUE_OK &&
            curl_url_get(url, CURLUPART_HOST, &host, 0) == CURLUE_OK) {
            m_Activity.SilentHost = host;
            curl_free(host);
        }
        curl_url_cleanup(url);
    }
    m_Observer(m_Activity);
}

void TCURLTransfer::WaitFor(TTransfer& Transfer, const TTaskQueue* Upcoming)
{
    CollectBegun();
    StartEarly(Upcoming);
    while (Transfer.Phase != TPhase::Done)
        if (const std::exception_ptr failure = Step(Upcoming, m_Bounds.Wait))
            AbortAndRaise(Transfer, failure);
}

void TCURLTransfer::Pause(TClock::time_point Until, const TTaskQueue* Upcoming)
{
    CollectBegun();
    StartEarly(Upcoming);
    for (;;) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(Until - TClock::now());
        if (left.count() <= 0)
            return;
        if (const std::exception_ptr failure = Step(Upcoming, std::min(left, m_Bounds.Wait)))
            std::rethrow_exception(failure);
    }
}

bool TCURLTransfer::Abort(TTransfer& Transfer)
{
    FATAL_CHECK(curl_easy_setopt(Transfer.Easy, CURLOPT_WRITEFUNCTION, AbortReceiveCallback) == CURLE_OK);
    FATAL_CHECK(curl_easy_setopt(Transfer.Easy, CURLOPT_READFUNCTION, AbortSendCallback) == CURLE_OK);
    const TClock::time_point start = TClock::now();
    do {
        Perform(); // other transfers go on meanwhile; their completions are kept
        if (Transfer.Phase == TPhase::Done)
            return true;
    } while (TClock::now() - start < m_Bounds.Abort);
    // Still going (a server that has not answered gives the write function nothing to refuse): detaching
    // the easy handle ends the transfer and closes its connection.
    Release(Transfer);
    return false;
}

void TCURLTransfer::AbortAndRaise(TTransfer& Transfer, const std::exception_ptr& Failure)
{
    if (Transfer.Phase == TPhase::Done || Abort(Transfer))
        std::rethrow_exception(Failure);
    APL_THROW(kAbortTooLong << "\n" << MessageOf(Failure));
}

void TCURLTransfer::Interrupt(int Signal)
{
    // Detaching the handles ends every transfer at once and closes its connection; no task hears of them
    // again. The tasks that began early remove their temporaries when they are deleted.
    m_Files.Cancel();
    while (!m_Transfers.empty())
        Release(*m_Transfers.begin()->second);
    throw BrintLib::TInterrupted(Signal);
}

TCURLGlobal::TCURLGlobal()
{
    // A connection that the server closed fails the write with EPIPE rather than ending the process; once
    // here, so that libcurl does not change the handling around each of its calls (CURLOPT_NOSIGNAL).
    signal(SIGPIPE, SIG_IGN);
    curl_global_init(CURL_GLOBAL_ALL);
}

TCURLGlobal::~TCURLGlobal()
{
    curl_global_cleanup();
}

TDownloader::TDownloader(const TTransferBounds& Bounds)
    : TDownloader(static_cast<size_t>(BrintLib::WholeNumberFromEnvironment(kConnectionsVariable)), Bounds)
{
}

TDownloader::TDownloader(size_t Connections, const TTransferBounds& Bounds)
    : m_Transfer(std::make_unique<TCURLTransfer>(Connections, Bounds))
{
}

TDownloader::~TDownloader() = default;

size_t TDownloader::Connections() const
{
    return m_Transfer->Connections();
}

void TDownloader::SetActivityObserver(std::function<void(const TActivity&)> Observer)
{
    m_Transfer->SetActivityObserver(std::move(Observer));
}

void TDownloader::Download(ITask& Task)
{
    m_Transfer->Download(Task, nullptr);
}

void TDownloader::Download(ITask& Task, const TTaskQueue& Upcoming)
{
    m_Transfer->Download(Task, &Upcoming);
}
