#include "libs/Net/CURLTransfer.h"

#include <curl/curl.h>
#include <sys/select.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <exception>
#include <iostream>
#include <sstream>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "Logic.h"
#include "libs/CoutConvert.h"
#include "libs/Environment.h"
#include "libs/Exceptions.h"
#include "libs/Interruption.h"
#include "libs/Net/FileThread.h"

namespace {

const char kAbortTooLong[] = "Попытка прервать передачу данных заняла слишком много времени";

/// A connection that cannot be made within this many seconds fails its transfer.
constexpr long kConnectTimeoutSeconds = 30;
/// How far past the task whose turn it is transfers may start, in multiples of N: a picture that has
/// arrived keeps its temporary until its turn.
constexpr size_t kLookAheadPerConnection = 4;
/// libcurl's receive buffer per transfer.
constexpr long kReceiveBufferBytes = 128 * 1024;

const char kStallVariable[] = "SKERROW_STALL_SECONDS";
const char kConnectionsVariable[] = "SKERROW_CONNECTIONS";

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

/// One task's transfer, from its Begin to its turn. libcurl's write, header and private pointers are the
/// object itself, so it never moves.
struct TTransfer {
    ITask* Task = nullptr;
    std::string Url;         ///< libcurl is given its characters
    std::string Destination; ///< the task's ITask::Destination()
    /// Held from the transfer's start until it ends; attached to the multi handle only while in flight.
    CURL* Easy = nullptr;
    bool Beginning = false; ///< Begin posted to the file thread and its outcome not yet collected
    bool Attached = false;  ///< in flight (once Begin has succeeded; a prepared transfer waits for a place)
    /// Not null when the task's Begin ran on this file thread, which then runs its Receive calls too.
    TFileThread* Files = nullptr;
    TWriteFailure Written; ///< what Receive raised on the file thread
    bool Done = false;
    std::exception_ptr Failure; ///< raised by the task's Receive; ends the transfer
    long Status = 0;            ///< a status other than 200 that ended the transfer when the headers had come
    CURLcode Result = CURLE_OK; ///< of the completion message
    long ResponseCode = 0;      ///< of the completion message
    uint64_t* Received = nullptr; ///< the engine's count of the body bytes received

    /// Begun and waiting for a place in flight.
    bool IsPrepared() const { return Easy != nullptr && !Beginning && !Attached; }
};

/// libcurl's header function: once the headers of the final response have come, a status other than 200
/// ends the transfer there (libcurl reports a write error), before any byte of the body is read.
size_t HeaderCallback(char* /*buffer*/, size_t size, size_t nitems, void* userdata) noexcept
{
    FATAL_CHECK(BrintLib::TestPtr__(userdata));
    auto* transfer = static_cast<TTransfer*>(userdata);
    const size_t length = size * nitems;
    // Only the empty line that closes a header block matters.
    if (length > 2)
        return length;
    long status = 0;
    FATAL_CHECK(curl_easy_getinfo(transfer->Easy, CURLINFO_RESPONSE_CODE, &status) == CURLE_OK);
    if (status == 200 || (status >= 100 && status < 200)) // 1xx: the final response is still to come
        return length;
    transfer->Status = status;
    return 0;
}

/// The write function that feeds the received chunks to the task's Receive. A failure that Receive
/// raises is kept and raised at the task's turn; no exception ever unwinds through libcurl.
size_t ReceiveCallback(char* ptr, size_t size, size_t nmemb, void* stream) noexcept
{
    FATAL_CHECK(BrintLib::TestPtr__(stream));
    auto* transfer = static_cast<TTransfer*>(stream);
    const size_t length = size * nmemb;
    if (length == 0)
        return 0;
    FATAL_CHECK(BrintLib::TestPtr__(ptr));
    if (transfer->Failure)
        return CURL_WRITEFUNC_ERROR;
    *transfer->Received += length;
    if (transfer->Files != nullptr) {
        if (transfer->Written.Failed.load())
            return CURL_WRITEFUNC_ERROR;
        transfer->Files->PostReceive(*transfer->Task, ptr, length, transfer->Written);
        return length;
    }
    try {
        transfer->Task->Receive(ptr, length);
    } catch (...) {
        // libcurl ends the transfer with CURLE_WRITE_ERROR.
        transfer->Failure = std::current_exception();
        return CURL_WRITEFUNC_ERROR;
    }
    return length;
}

} // namespace

/// Composes an application failure with << and the source location of the statement.
#define MAKE_FAILURE(MessageExpr)                                                                            \
    [&] {                                                                                                    \
        std::ostringstream failure_stream_;                                                                  \
        failure_stream_ << MessageExpr;                                                                      \
        return MakeFailure(failure_stream_.str(), __FILE__, __LINE__);                                       \
    }()

/// The multi handle, a pool of easy handles with the options every transfer shares, the transfers begun
/// and not yet taken by their turn, and the select() loop that drives them.
class TCURLTransfer {
  public:
    TCURLTransfer(size_t Connections, const TTransferBounds& Bounds);
    ~TCURLTransfer();
    TCURLTransfer(const TCURLTransfer&) = delete;
    TCURLTransfer& operator=(const TCURLTransfer&) = delete;

    size_t Connections() const { return m_Connections; }
    void Download(ITask& Task, const TTaskQueue* Upcoming);
    void SetActivityObserver(std::function<void(const TActivity&)> Observer)
    {
        m_Observer = std::move(Observer);
    }

  private:
    TTransfer* Find(const ITask& Task) const;
    /// An easy handle from the pool, with Url set; null, with the handle back in the pool, when libcurl
    /// refuses the URL (Refusal then holds libcurl's code).
    CURL* TakeEasy(const std::string& Url, CURLcode& Refusal);
    void ReturnEasy(CURL* Easy);
    /// Begins Task and attaches its transfer. Begin's failure leaves as raised.
    TTransfer& Begin(ITask& Task, CURL* Easy);
    /// Records the transfer of Task, which holds Easy from now on.
    TTransfer& Track(ITask& Task, CURL* Easy);
    /// Hands the transfer's bytes to its task and attaches its easy handle to the multi handle: in flight.
    void Attach(TTransfer& Transfer);
    /// Takes the outcomes of the file thread's Begins: the transfers whose Begin succeeded are prepared
    /// (they wait for a place in flight), those whose Begin failed are forgotten (their tasks start at
    /// their turn). Returns how many outcomes were taken.
    size_t CollectBegun();
    /// Starts the transfers of the tasks after the one whose turn it is, in queue order, while fewer than
    /// N are in flight and fewer than N pages are held, up to kLookAheadPerConnection * N tasks ahead. File
    /// tasks are begun (on the file thread) before a place is free, up to N of them, so that a place that
    /// frees is taken at once.
    void StartEarly(const TTaskQueue* Upcoming);
    /// Detaches the transfer's handle (ending the transfer if it still runs) and forgets the transfer.
    void Release(TTransfer& Transfer);
    /// curl_multi_perform, then the completion messages. Returns libcurl's code; Ended counts the
    /// transfers that ended.
    CURLMcode Perform(size_t& Ended);
    CURLMcode Perform()
    {
        size_t ended = 0;
        return Perform(ended);
    }
    /// Waits on the sockets of the transfers in flight, at most m_Bounds.Wait or libcurl's next timer;
    /// returns what select() returns.
    int Select();
    /// Runs every transfer in flight until Transfer is done, starting early ones whenever others end.
    void WaitFor(TTransfer& Transfer, const TTaskQueue* Upcoming);
    /// Cancels Transfer, which is still in flight: refuses its further bytes and runs libcurl until it
    /// ends. Returns false when that took longer than the bound (its handle is then detached).
    bool Abort(TTransfer& Transfer);
    /// Abort(Transfer) when it is still in flight, then raises Failure; or, when cancelling overran its
    /// bound, a failure that names both.
    [[noreturn]] void AbortAndRaise(TTransfer& Transfer, const std::exception_ptr& Failure);
    /// Ends every transfer at once (the run is interrupted) and raises TInterrupted.
    [[noreturn]] void Interrupt(int Signal);

    fd_set m_fdRead;
    fd_set m_fdWrite;
    fd_set m_fdExcep;
    const size_t m_Connections;
    const TTransferBounds m_Bounds;
    const long m_StallSeconds;
    CURLM* m_hMulti = nullptr;
    std::vector<CURL*> m_Easy;     ///< every easy handle, owned
    std::vector<CURL*> m_FreeEasy; ///< those not attached to the multi handle
    int m_Running = 0;
    /// Begun and not yet taken by their turn, by task.
    std::unordered_map<const ITask*, std::unique_ptr<TTransfer>> m_Transfers;
    std::unordered_set<std::string> m_Destinations; ///< of the transfers begun, those not empty
    size_t m_InFlight = 0;                          ///< transfers attached and not ended
    size_t m_Prepared = 0;                          ///< transfers beginning or begun, not yet attached
    size_t m_Pages = 0;                             ///< transfers begun without a destination
    /// Begins the tasks with a destination that start early (they create files) and writes what they
    /// receive.
    TFileThread m_Files;
    /// Tasks whose early start failed: they start at their turn. Only compared, never followed: a task
    /// deleted without its turn leaves a stale entry that at worst keeps another from starting early.
    std::unordered_set<const ITask*> m_Declined;
    std::function<void(const TActivity&)> m_Observer;
    TActivity m_Activity;
};

TCURLTransfer::TCURLTransfer(size_t Connections, const TTransferBounds& Bounds)
    : m_Connections(std::clamp<size_t>(Connections, 1,
                                       static_cast<size_t>(BrintLib::FindSetting(kConnectionsVariable).Max))),
      m_Bounds(Bounds), m_StallSeconds(BrintLib::WholeNumberFromEnvironment(kStallVariable))
{
    m_hMulti = curl_multi_init();
    FATAL_CHECK(BrintLib::TestPtr__(m_hMulti));
    const long connections = static_cast<long>(m_Connections);
    FATAL_CHECK(curl_multi_setopt(m_hMulti, CURLMOPT_MAX_HOST_CONNECTIONS, connections) == CURLM_OK);
    FATAL_CHECK(curl_multi_setopt(m_hMulti, CURLMOPT_MAX_TOTAL_CONNECTIONS, connections) == CURLM_OK);
}

TCURLTransfer::~TCURLTransfer()
{
    m_Files.Cancel();
    for (const auto& [task, transfer] : m_Transfers)
        if (transfer->Easy != nullptr && transfer->Attached)
            FATAL_CHECK(curl_multi_remove_handle(m_hMulti, transfer->Easy) == CURLM_OK);
    for (CURL* easy : m_Easy)
        curl_easy_cleanup(easy);
    FATAL_CHECK(curl_multi_cleanup(m_hMulti) == CURLM_OK);
}

TTransfer* TCURLTransfer::Find(const ITask& Task) const
{
    const auto found = m_Transfers.find(&Task);
    return found == m_Transfers.end() ? nullptr : found->second.get();
}

CURL* TCURLTransfer::TakeEasy(const std::string& Url, CURLcode& Refusal)
{
    if (m_FreeEasy.empty()) {
        CURL* easy = curl_easy_init();
        FATAL_CHECK(BrintLib::TestPtr__(easy));
        m_Easy.push_back(easy);
        FATAL_CHECK(curl_easy_setopt(easy, CURLOPT_NOPROGRESS, 1L) == CURLE_OK);
        // Every transfer ends: a connection within its bound, and then some byte at least every stall bound.
        FATAL_CHECK(curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT, kConnectTimeoutSeconds) == CURLE_OK);
        FATAL_CHECK(curl_easy_setopt(easy, CURLOPT_LOW_SPEED_LIMIT, 1L) == CURLE_OK);
        FATAL_CHECK(curl_easy_setopt(easy, CURLOPT_LOW_SPEED_TIME, m_StallSeconds) == CURLE_OK);
        FATAL_CHECK(curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, HeaderCallback) == CURLE_OK);
        FATAL_CHECK(curl_easy_setopt(easy, CURLOPT_HTTPGET, 1L) == CURLE_OK);
        // A whole picture in one read and one write, where libcurl's default reads 16 KB at a time.
        FATAL_CHECK(curl_easy_setopt(easy, CURLOPT_BUFFERSIZE, kReceiveBufferBytes) == CURLE_OK);
        FATAL_CHECK(curl_easy_setopt(easy, CURLOPT_HTTPHEADER, static_cast<curl_slist*>(nullptr)) ==
                    CURLE_OK);
        m_FreeEasy.push_back(easy);
    }
    CURL* easy = m_FreeEasy.back();
    // The URL comes from the network: one that libcurl refuses (too long, a NUL that would cut it short)
    // fails its task only.
    Refusal = Url.find('\0') != std::string::npos ? CURLE_URL_MALFORMAT
                                                  : curl_easy_setopt(easy, CURLOPT_URL, Url.c_str());
    if (Refusal != CURLE_OK)
        return nullptr;
    m_FreeEasy.pop_back();
    return easy;
}

void TCURLTransfer::ReturnEasy(CURL* Easy)
{
    m_FreeEasy.push_back(Easy);
}

TTransfer& TCURLTransfer::Begin(ITask& Task, CURL* Easy)
{
    try {
        Task.Begin();
    } catch (...) {
        ReturnEasy(Easy);
        throw;
    }
    TTransfer& transfer = Track(Task, Easy);
    Attach(transfer);
    return transfer;
}

TTransfer& TCURLTransfer::Track(ITask& Task, CURL* Easy)
{
    auto transfer = std::make_unique<TTransfer>();
    transfer->Task = &Task;
    transfer->Url = Task.GetUrl();
    transfer->Destination = Task.Destination();
    transfer->Easy = Easy;
    transfer->Received = &m_Activity.BytesReceived;
    if (transfer->Destination.empty())
        ++m_Pages;
    else
        m_Destinations.insert(transfer->Destination);
    ++m_Prepared;
    TTransfer& result = *transfer;
    m_Transfers.emplace(&Task, std::move(transfer));
    return result;
}

void TCURLTransfer::Attach(TTransfer& Transfer)
{
    CURL* easy = Transfer.Easy;
    // libcurl may keep the address of the URL's characters: they now live in the transfer.
    FATAL_CHECK(curl_easy_setopt(easy, CURLOPT_URL, Transfer.Url.c_str()) == CURLE_OK);
    FATAL_CHECK(curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, ReceiveCallback) == CURLE_OK);
    FATAL_CHECK(curl_easy_setopt(easy, CURLOPT_WRITEDATA, &Transfer) == CURLE_OK);
    FATAL_CHECK(curl_easy_setopt(easy, CURLOPT_HEADERDATA, &Transfer) == CURLE_OK);
    FATAL_CHECK(curl_easy_setopt(easy, CURLOPT_PRIVATE, &Transfer) == CURLE_OK);
    FATAL_CHECK(curl_multi_add_handle(m_hMulti, easy) == CURLM_OK);
    Transfer.Attached = true;
    --m_Prepared;
    ++m_InFlight;
}

size_t TCURLTransfer::CollectBegun()
{
    const std::vector<TFileThread::TBegun> begun = m_Files.TakeBegun();
    for (const TFileThread::TBegun& done : begun) {
        TTransfer* transfer = Find(*done.Task);
        FATAL_CHECK(transfer != nullptr && transfer->Beginning);
        transfer->Beginning = false;
        if (done.Succeeded) {
            transfer->Files = &m_Files;
        } else {
            m_Declined.insert(done.Task);
            Release(*transfer);
        }
    }
    return begun.size();
}

void TCURLTransfer::StartEarly(const TTaskQueue* Upcoming)
{
    // One at a time means no transfer before its turn.
    if (Upcoming == nullptr || m_Connections == 1)
        return;
    const size_t lookAhead = std::min(Upcoming->Size(), kLookAheadPerConnection * m_Connections);
    bool started = false;
    for (size_t i = 0; i < lookAhead && (m_InFlight < m_Connections || m_Prepared < m_Connections); ++i) {
        ITask& task = Upcoming->At(i);
        if (TTransfer* transfer = Find(task)) {
            // A prepared transfer takes the first place that is free.
            if (transfer->IsPrepared() && m_InFlight < m_Connections) {
                Attach(*transfer);
                started = true;
            }
            continue;
        }
        if (m_Declined.count(&task) != 0)
            continue;
        // Two transfers into one file never overlap: the later one waits for its turn, as it would when
        // one transfer runs at a time.
        const std::string destination = task.Destination();
        if (destination.empty() ? m_Pages >= m_Connections || m_InFlight >= m_Connections
                                : m_Destinations.count(destination) != 0 || m_Prepared >= m_Connections)
            continue;
        // A URL that libcurl refuses, or a Begin that fails (a file that exists, a directory that cannot
        // be written), fails again and is reported at the task's turn.
        CURLcode refusal = CURLE_OK;
        CURL* easy = TakeEasy(task.GetUrl(), refusal);
        if (easy == nullptr) {
            m_Declined.insert(&task);
            continue;
        }
        // Creating a file may take the kernel a while: that happens on the file thread, and the transfer
        // is prepared once its outcome is collected.
        if (!destination.empty()) {
            Track(task, easy).Beginning = true;
            m_Files.PostBegin(task);
            continue;
        }
        try {
            Begin(task, easy);
            started = true;
        } catch (...) {
            m_Declined.insert(&task);
        }
    }
    if (started)
        Perform(); // the first step of the new transfers; a failure of libcurl itself shows at a turn
}

void TCURLTransfer::Release(TTransfer& Transfer)
{
    if (Transfer.Easy != nullptr) {
        if (Transfer.Attached) {
            FATAL_CHECK(curl_multi_remove_handle(m_hMulti, Transfer.Easy) == CURLM_OK);
            --m_InFlight;
        } else {
            --m_Prepared;
        }
        ReturnEasy(Transfer.Easy);
        Transfer.Easy = nullptr;
    }
    if (Transfer.Destination.empty())
        --m_Pages;
    else
        m_Destinations.erase(Transfer.Destination);
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
    if (transfer != nullptr && transfer->Beginning) {
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
    std::cout << "Download: " << BrintLib::MaskControlBytes(Task.GetUrl()) << std::endl;
    if (transfer != nullptr && transfer->IsPrepared()) {
        // Its turn starts it, whatever is in flight.
        Attach(*transfer);
        Perform();
    }
    m_Declined.erase(&Task);
    if (transfer == nullptr) {
        CURLcode refusal = CURLE_OK;
        CURL* easy = TakeEasy(Task.GetUrl(), refusal);
        if (easy == nullptr)
            APL_THROW("Transfer error: " << curl_easy_strerror(refusal) << " URL: " << Task.GetUrl());
        transfer = &Begin(Task, easy);
        Perform();
    }
    WaitFor(*transfer, Upcoming);
    if (transfer->Files != nullptr) {
        // Every chunk written (or refused) before the outcome is decided.
        m_Files.WaitFor(Task);
        if (transfer->Written.Failed.load())
            transfer->Failure = transfer->Written.Failure;
    }
    // The task's own failure first: it is why libcurl ended the transfer.
    if (transfer->Failure)
        std::rethrow_exception(transfer->Failure);
    const long status = transfer->Status != 0 ? transfer->Status : transfer->ResponseCode;
    if (transfer->Result != CURLE_OK && transfer->Status == 0)
        APL_THROW("Transfer error: " << curl_easy_strerror(transfer->Result) << " URL: " << transfer->Url);
    if (status != 200)
        APL_THROW("Transfer error: server return error code " << status << " URL: " << transfer->Url);
    Release(*transfer);
    Task.Finish();
}

CURLMcode TCURLTransfer::Perform(size_t& Ended)
{
    Ended = 0;
    CURLMcode code;
    do {
        code = curl_multi_perform(m_hMulti, &m_Running);
    } while (code == CURLM_CALL_MULTI_PERFORM);
    int queued = 0;
    while (const CURLMsg* pCurlMsg = curl_multi_info_read(m_hMulti, &queued)) {
        if (pCurlMsg->msg != CURLMSG_DONE)
            continue;
        char* data = nullptr;
        FATAL_CHECK(curl_easy_getinfo(pCurlMsg->easy_handle, CURLINFO_PRIVATE, &data) == CURLE_OK);
        FATAL_CHECK(BrintLib::TestPtr__(data));
        auto* transfer = reinterpret_cast<TTransfer*>(data);
        transfer->Done = true;
        transfer->Result = pCurlMsg->data.result;
        FATAL_CHECK(curl_easy_getinfo(transfer->Easy, CURLINFO_RESPONSE_CODE, &transfer->ResponseCode) ==
                    CURLE_OK);
        // The handle goes back to the pool at once, its connection to libcurl's cache.
        FATAL_CHECK(curl_multi_remove_handle(m_hMulti, transfer->Easy) == CURLM_OK);
        ReturnEasy(transfer->Easy);
        transfer->Easy = nullptr;
        --m_InFlight;
        ++Ended;
    }
    return code;
}

int TCURLTransfer::Select()
{
    FD_ZERO(&m_fdRead);
    FD_ZERO(&m_fdWrite);
    FD_ZERO(&m_fdExcep);
    int MaxFD = -1;
    FATAL_CHECK(curl_multi_fdset(m_hMulti, &m_fdRead, &m_fdWrite, &m_fdExcep, &MaxFD) == CURLM_OK);
    FATAL_CHECK(MaxFD < FD_SETSIZE && m_Files.WakeFd() < FD_SETSIZE);
    // No longer than libcurl's next timer (a new transfer, a timeout), and never longer than the bound.
    long timerMs = -1;
    FATAL_CHECK(curl_multi_timeout(m_hMulti, &timerMs) == CURLM_OK);
    const long boundMs = static_cast<long>(m_Bounds.Wait.count());
    const long waitMs = timerMs >= 0 && timerMs < boundMs ? timerMs : boundMs;
    // An outcome of the file thread's Begins wakes the wait too.
    const int wake = m_Files.WakeFd();
    if (wake >= 0) {
        FD_SET(wake, &m_fdRead);
        MaxFD = std::max(MaxFD, wake);
    }
    timeval timeout{waitMs / 1000, waitMs % 1000 * 1000};
    return select(MaxFD + 1, &m_fdRead, &m_fdWrite, &m_fdExcep, &timeout);
}

void TCURLTransfer::WaitFor(TTransfer& Transfer, const TTaskQueue* Upcoming)
{
    CollectBegun();
    StartEarly(Upcoming);
    while (!Transfer.Done) {
        const int selected = Select();
        const int error = errno;
        if (const int signal = BrintLib::InterruptionSignal())
            Interrupt(signal);
        if (selected == -1)
            AbortAndRaise(Transfer, MAKE_FAILURE("select from socket error: " << error));
        const size_t begun = CollectBegun();
        size_t ended = 0;
        const CURLMcode code = Perform(ended);
        if (code != CURLM_OK)
            AbortAndRaise(Transfer, MAKE_FAILURE("curl_multi_perform error: " << curl_multi_strerror(code)));
        if (ended > 0 || begun > 0)
            StartEarly(Upcoming);
        if (m_Observer)
            m_Observer(m_Activity);
    }
}

bool TCURLTransfer::Abort(TTransfer& Transfer)
{
    FATAL_CHECK(curl_easy_setopt(Transfer.Easy, CURLOPT_WRITEFUNCTION, AbortReceiveCallback) == CURLE_OK);
    FATAL_CHECK(curl_easy_setopt(Transfer.Easy, CURLOPT_READFUNCTION, AbortSendCallback) == CURLE_OK);
    using TClock = std::chrono::steady_clock;
    const TClock::time_point start = TClock::now();
    do {
        Perform(); // other transfers go on meanwhile; their completions are kept
        if (Transfer.Done)
            return true;
    } while (TClock::now() - start < m_Bounds.Abort);
    // Still going (a server that has not answered gives the write function nothing to refuse): detaching
    // the easy handle ends the transfer and closes its connection.
    Release(Transfer);
    return false;
}

void TCURLTransfer::AbortAndRaise(TTransfer& Transfer, const std::exception_ptr& Failure)
{
    if (Transfer.Done || Abort(Transfer))
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
