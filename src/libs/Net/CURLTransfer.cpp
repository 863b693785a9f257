#include "libs/Net/CURLTransfer.h"

#include <curl/curl.h>
#include <sys/select.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <exception>
#include <iostream>
#include <sstream>
#include <string>
#include <utility>

#include "Logic.h"
#include "libs/CoutConvert.h"
#include "libs/Exceptions.h"
#include "libs/Interruption.h"

namespace {

/// Cancelling a transfer must end within this many seconds.
constexpr double kAbortBoundSeconds = 1.5;

const char kAbortTooLong[] = "Попытка прервать передачу данных заняла слишком много времени";

/// A connection that cannot be made within this many seconds fails its transfer.
constexpr long kConnectTimeoutSeconds = 30;
/// A transfer that receives nothing for this many seconds fails, unless SKERROW_STALL_SECONDS says
/// otherwise.
constexpr long kDefaultStallSeconds = 60;
const char kStallVariable[] = "SKERROW_STALL_SECONDS";

/// The stall bound: SKERROW_STALL_SECONDS when it is a whole number of seconds from 1 to a day, else the
/// default.
long StallSeconds()
{
    const char* text = std::getenv(kStallVariable);
    if (text == nullptr || *text < '1' || *text > '9')
        return kDefaultStallSeconds;
    char* end = nullptr;
    const long seconds = std::strtol(text, &end, 10);
    return *end == '\0' && seconds <= 24 * 60 * 60 ? seconds : kDefaultStallSeconds;
}

/// What libcurl's write function is given as its data pointer: the object that takes the bytes, and
/// the failure that the object raised, kept until curl_multi_perform has returned. No exception ever
/// unwinds through libcurl.
template <typename TCallbackObject>
struct TReceiver {
    TCallbackObject* Object = nullptr;
    std::exception_ptr Failure;
    CURL* Easy = nullptr; ///< the transfer's handle, for its status
    long Status = 0;      ///< a status other than 200 that ended the transfer when the headers had come
};

/// libcurl's header function: once the headers of the final response have come, a status other than 200
/// ends the transfer there (libcurl reports a write error), before any byte of the body is read.
template <typename TCallbackObject>
size_t HeaderCallback(char* /*buffer*/, size_t size, size_t nitems, void* userdata) noexcept
{
    FATAL_CHECK(BrintLib::TestPtr__(userdata));
    auto* receiver = static_cast<TReceiver<TCallbackObject>*>(userdata);
    const size_t length = size * nitems;
    // Only the empty line that closes a header block matters.
    if (length > 2)
        return length;
    long status = 0;
    FATAL_CHECK(curl_easy_getinfo(receiver->Easy, CURLINFO_RESPONSE_CODE, &status) == CURLE_OK);
    if (status == 200 || (status >= 100 && status < 200)) // 1xx: the final response is still to come
        return length;
    receiver->Status = status;
    return 0;
}

/// The write function that feeds the received chunks to a TCallbackObject's Receive.
template <typename TCallbackObject>
struct TCalbackFunc {
    static size_t ReceiveCallback(char* ptr, size_t size, size_t nmemb, void* stream) noexcept
    {
        FATAL_CHECK(BrintLib::TestPtr__(stream));
        auto* receiver = static_cast<TReceiver<TCallbackObject>*>(stream);
        const size_t length = size * nmemb;
        if (length == 0)
            return 0;
        FATAL_CHECK(BrintLib::TestPtr__(ptr));
        if (receiver->Failure)
            return CURL_WRITEFUNC_ERROR;
        try {
            receiver->Object->Receive(ptr, length);
        } catch (...) {
            // libcurl ends the transfer with CURLE_WRITE_ERROR; the failure is raised once
            // curl_multi_perform has returned.
            receiver->Failure = std::current_exception();
            return CURL_WRITEFUNC_ERROR;
        }
        return length;
    }
};

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

} // namespace

/// Cancels the transfer in progress, then raises an application failure composed with << and carrying
/// the source location of the statement.
#define ABORT_AND_THROW(MessageExpr)                                                  \
    do {                                                                              \
        std::ostringstream abort_stream_;                                             \
        abort_stream_ << MessageExpr;                                                 \
        AbortAndRaise(MakeFailure(abort_stream_.str(), __FILE__, __LINE__));          \
    } while (false)

/// The one easy handle, attached to the one multi handle for the object's whole life, and the select()
/// loop that drives them. Idle when m_Running is 0 (after construction and after every transfer, however
/// it ended); transferring otherwise.
class TCURLTransfer {
public:
    TCURLTransfer();
    ~TCURLTransfer();
    TCURLTransfer(const TCURLTransfer&) = delete;
    TCURLTransfer& operator=(const TCURLTransfer&) = delete;

    void Download(ITask& Task);

private:
    /// Detaches and re-attaches the easy handle, so that libcurl begins a new transfer on it whatever
    /// state the last one ended in, and discards stale completion messages.
    void Restart();
    /// Sets the per-transfer options and makes the first step of the transfer.
    void Start(ITask& CallbackObject);
    /// One step of libcurl's work, then the completion check.
    void Perform();
    void CheckMessages();
    /// Waits on the transfer's sockets, at most m_Timeout; returns what select() returns.
    int Select(CURLM* hMulti);
    /// Returns true while the transfer is still in progress.
    bool WaitAndPerform();
    /// Cancels the transfer in progress and discards the pending completion messages; the object is idle
    /// afterwards. Returns false when that took longer than the bound (the easy handle is then detached
    /// and re-attached to force the object idle).
    bool Abort();
    /// Abort(), then raises Failure; or, when cancelling overran its bound, a failure that names both.
    [[noreturn]] void AbortAndRaise(const std::exception_ptr& Failure);
    void DiscardMessages();

    fd_set m_fdRead;
    fd_set m_fdWrite;
    fd_set m_fdExcep;
    const timeval m_Timeout{0, 500000};
    CURL* m_hEasy = nullptr;
    CURLM* m_hMulti = nullptr;
    int m_Running = 0;
    std::string m_Url; ///< of the current or last transfer
    TReceiver<ITask> m_Receiver;
};

TCURLTransfer::TCURLTransfer()
{
    m_hMulti = curl_multi_init();
    FATAL_CHECK(BrintLib::TestPtr__(m_hMulti));
    m_hEasy = curl_easy_init();
    FATAL_CHECK(BrintLib::TestPtr__(m_hEasy));
    FATAL_CHECK(curl_multi_add_handle(m_hMulti, m_hEasy) == CURLM_OK);
    FATAL_CHECK(curl_easy_setopt(m_hEasy, CURLOPT_NOPROGRESS, 1L) == CURLE_OK);
    // Every transfer ends: a connection within its bound, and then some byte at least every stall bound.
    FATAL_CHECK(curl_easy_setopt(m_hEasy, CURLOPT_CONNECTTIMEOUT, kConnectTimeoutSeconds) == CURLE_OK);
    FATAL_CHECK(curl_easy_setopt(m_hEasy, CURLOPT_LOW_SPEED_LIMIT, 1L) == CURLE_OK);
    FATAL_CHECK(curl_easy_setopt(m_hEasy, CURLOPT_LOW_SPEED_TIME, StallSeconds()) == CURLE_OK);
    m_Receiver.Easy = m_hEasy;
    FATAL_CHECK(curl_easy_setopt(m_hEasy, CURLOPT_HEADERFUNCTION, HeaderCallback<ITask>) == CURLE_OK);
    FATAL_CHECK(curl_easy_setopt(m_hEasy, CURLOPT_HEADERDATA, &m_Receiver) == CURLE_OK);
}

TCURLTransfer::~TCURLTransfer()
{
    FATAL_CHECK(curl_multi_remove_handle(m_hMulti, m_hEasy) == CURLM_OK);
    curl_easy_cleanup(m_hEasy);
    FATAL_CHECK(curl_multi_cleanup(m_hMulti) == CURLM_OK);
}

void TCURLTransfer::Download(ITask& Task)
{
    BrintLib::ThrowIfInterrupted();
    m_Url = Task.GetUrl();
    // Before Begin, so that a task that fails there still shows its URL; unconverted, control bytes masked.
    std::cout << "Download: " << BrintLib::MaskControlBytes(Task.GetUrl()) << std::endl;
    // The URL comes from the network: one that libcurl refuses (too long, a NUL that would cut it short)
    // fails its task only.
    const CURLcode urlResult = m_Url.find('\0') != std::string::npos
                                   ? CURLE_URL_MALFORMAT
                                   : curl_easy_setopt(m_hEasy, CURLOPT_URL, m_Url.c_str());
    if (urlResult != CURLE_OK)
        APL_THROW("Transfer error: " << curl_easy_strerror(urlResult) << " URL: " << m_Url);
    Task.Begin();
    Start(Task);
    while (WaitAndPerform()) {
    }
    Task.Finish();
}

void TCURLTransfer::Restart()
{
    FATAL_CHECK(curl_multi_remove_handle(m_hMulti, m_hEasy) == CURLM_OK);
    FATAL_CHECK(curl_multi_add_handle(m_hMulti, m_hEasy) == CURLM_OK);
    DiscardMessages();
}

void TCURLTransfer::Start(ITask& CallbackObject)
{
    Restart();
    m_Receiver.Object = &CallbackObject;
    m_Receiver.Failure = nullptr;
    m_Receiver.Status = 0;
    FATAL_CHECK(curl_easy_setopt(m_hEasy, CURLOPT_WRITEFUNCTION, TCalbackFunc<ITask>::ReceiveCallback) == CURLE_OK);
    FATAL_CHECK(curl_easy_setopt(m_hEasy, CURLOPT_FILE, &m_Receiver) == CURLE_OK);
    FATAL_CHECK(curl_easy_setopt(m_hEasy, CURLOPT_HTTPGET, 1L) == CURLE_OK);
    FATAL_CHECK(curl_easy_setopt(m_hEasy, CURLOPT_HTTPHEADER, static_cast<curl_slist*>(nullptr)) == CURLE_OK);
    Perform();
}

void TCURLTransfer::Perform()
{
    CURLMcode code;
    do {
        code = curl_multi_perform(m_hMulti, &m_Running);
    } while (code == CURLM_CALL_MULTI_PERFORM);
    // The task's own failure first: it is why libcurl ended the transfer.
    if (m_Receiver.Failure)
        AbortAndRaise(std::exchange(m_Receiver.Failure, nullptr));
    if (code != CURLM_OK)
        ABORT_AND_THROW("curl_multi_perform error: " << curl_multi_strerror(code));
    CheckMessages();
}

void TCURLTransfer::CheckMessages()
{
    int queued = 0;
    while (const CURLMsg* pCurlMsg = curl_multi_info_read(m_hMulti, &queued)) {
        if (pCurlMsg->msg != CURLMSG_DONE)
            continue;
        const CURLcode result = pCurlMsg->data.result;
        if (result != CURLE_OK && m_Receiver.Status != 0)
            ABORT_AND_THROW("Transfer error: server return error code " << m_Receiver.Status << " URL: " << m_Url);
        if (result != CURLE_OK)
            ABORT_AND_THROW("Transfer error: " << curl_easy_strerror(result) << " URL: " << m_Url);
        long ServerRezult = 0;
        FATAL_CHECK(curl_easy_getinfo(pCurlMsg->easy_handle, CURLINFO_RESPONSE_CODE, &ServerRezult) == CURLE_OK);
        if (ServerRezult != 200)
            ABORT_AND_THROW("Transfer error: server return error code " << ServerRezult << " URL: " << m_Url);
    }
}

int TCURLTransfer::Select(CURLM* hMulti)
{
    FD_ZERO(&m_fdRead);
    FD_ZERO(&m_fdWrite);
    FD_ZERO(&m_fdExcep);
    int MaxFD = -1;
    FATAL_CHECK(curl_multi_fdset(hMulti, &m_fdRead, &m_fdWrite, &m_fdExcep, &MaxFD) == CURLM_OK);
    FATAL_CHECK(MaxFD < FD_SETSIZE);
    // select() here counts the time it waited off what it is given; the wait must stay fixed.
    timeval timeout = m_Timeout;
    if (MaxFD == -1) {
        // Nothing to wait on (libcurl is between sockets): wait no longer than libcurl's next timer.
        long timerMs = -1;
        FATAL_CHECK(curl_multi_timeout(hMulti, &timerMs) == CURLM_OK);
        if (timerMs >= 0 && timerMs < timeout.tv_sec * 1000 + timeout.tv_usec / 1000) {
            timeout.tv_sec = timerMs / 1000;
            timeout.tv_usec = timerMs % 1000 * 1000;
        }
    }
    return select(MaxFD + 1, &m_fdRead, &m_fdWrite, &m_fdExcep, &timeout);
}

bool TCURLTransfer::WaitAndPerform()
{
    if (m_Running == 0)
        return false;
    const int selected = Select(m_hMulti);
    const int error = errno;
    if (const int signal = BrintLib::InterruptionSignal()) {
        // Detaching the easy handle ends the transfer at once and closes its connection, so that the
        // engine is idle when the task is deleted; the run ends anyway.
        Restart();
        m_Running = 0;
        throw BrintLib::TInterrupted(signal);
    }
    if (selected == -1)
        ABORT_AND_THROW("select from socket error: " << error);
    Perform();
    return m_Running != 0;
}

bool TCURLTransfer::Abort()
{
    FATAL_CHECK(curl_easy_setopt(m_hEasy, CURLOPT_WRITEFUNCTION, AbortReceiveCallback) == CURLE_OK);
    FATAL_CHECK(curl_easy_setopt(m_hEasy, CURLOPT_READFUNCTION, AbortSendCallback) == CURLE_OK);
    using TClock = std::chrono::steady_clock;
    const TClock::time_point start = TClock::now();
    do {
        curl_multi_perform(m_hMulti, &m_Running);
        if (std::chrono::duration<double>(TClock::now() - start).count() >= kAbortBoundSeconds) {
            // Still going (a server that has not answered gives the write function nothing to refuse):
            // detaching the easy handle ends the transfer and closes its connection.
            Restart();
            m_Running = 0;
            return false;
        }
    } while (m_Running != 0);
    DiscardMessages();
    return true;
}

void TCURLTransfer::AbortAndRaise(const std::exception_ptr& Failure)
{
    if (Abort())
        std::rethrow_exception(Failure);
    std::string pending;
    try {
        std::rethrow_exception(Failure);
    } catch (const std::exception& e) {
        pending = e.what();
    } catch (...) {
        pending = "<UNKNOWN_EXCEPTION>";
    }
    APL_THROW(kAbortTooLong << "\n" << pending);
}

void TCURLTransfer::DiscardMessages()
{
    int queued = 0;
    while (curl_multi_info_read(m_hMulti, &queued) != nullptr) {
    }
}

TCURLGlobal::TCURLGlobal()
{
    curl_global_init(CURL_GLOBAL_ALL);
}

TCURLGlobal::~TCURLGlobal()
{
    curl_global_cleanup();
}

TDownloader::TDownloader() : m_Transfer(std::make_unique<TCURLTransfer>()) {}

TDownloader::~TDownloader() = default;

void TDownloader::Download(ITask& Task)
{
    m_Transfer->Download(Task);
}
