#include "libs/Net/CURLTransfer.h"

#include <curl/curl.h>
#include <signal.h>
#include <strings.h>
#include <sys/select.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
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

using TClock = std::chrono::steady_clock;

const char kAbortTooLong[] = "Попытка прервать передачу данных заняла слишком много времени";

/// A connection that cannot be made within this many seconds fails its transfer.
constexpr long kConnectTimeoutSeconds = 30;
/// A transfer that receives nothing for SKERROW_STALL_SECONDS seconds fails; a passing fault is tried
/// again SKERROW_RETRIES times (libs/Environment.h).
const char kStallVariable[] = "SKERROW_STALL_SECONDS";
const char kRetriesVariable[] = "SKERROW_RETRIES";
/// The longest pause that a Retry-After header obtains.
constexpr std::chrono::seconds kMaxRetryAfter{30};
/// Redirects followed at most for one transfer.
constexpr long kMaxRedirects = 10;
/// The longest header line that libcurl takes (CURL_MAX_HTTP_HEADER); it reports a longer one as a lack of
/// memory, without a text of its own.
constexpr long kMaxHeaderLine = 100 * 1024;
/// Transfers in flight at once (libs/Environment.h).
const char kConnectionsVariable[] = "SKERROW_CONNECTIONS";
/// How far past the task whose turn it is transfers may start, in multiples of the transfers that may be
/// in flight, and at most: a picture that has arrived keeps its temporary until its turn.
constexpr size_t kLookAheadPerConnection = 4;
constexpr size_t kMaxLookAhead = 640;
/// Transfers in flight at most over connections that multiplex: the bytes of those that end at once wait
/// in memory for the file thread, and a few hundred serve a whole issue in one or two rounds.
constexpr size_t kMaxMultiplexed = 256;
/// Pages begun before their turn at most: their bodies are held in memory until their turn.
constexpr size_t kMaxPagesAhead = 64;
/// Transfers in flight at once on one connection that multiplexes (HTTP/2; libs/Environment.h).
const char kStreamsVariable[] = "SKERROW_STREAMS";
/// The bytes of a file task are handed over in batches of at least this many (or when its transfer ends):
/// one write, and on the file thread one hand-over, for most pictures rather than one per chunk that
/// libcurl delivers, and little held back when hundreds of transfers end at once.
constexpr size_t kFileBatchBytes = 32 * 1024;
/// libcurl's receive buffer per transfer; over a connection that multiplexes, where hundreds of transfers
/// may be in flight and each read is one frame, libcurl's default.
constexpr long kReceiveBufferBytes = 128 * 1024;
constexpr long kMultiplexedReceiveBufferBytes = CURL_MAX_WRITE_SIZE;

/// The bundle of certificates that the environment names, as OpenSSL's and curl's users name it; empty
/// for the system's.
std::string CertificateBundle()
{
    for (const char* name : {"SSL_CERT_FILE", "CURL_CA_BUNDLE"})
        if (const char* path = std::getenv(name); path != nullptr && *path != '\0')
            return path;
    return std::string();
}

/// The value of the header Name in the last reply that libcurl has received; empty when there is none.
std::string LastHeader(CURL* Easy, const char* Name)
{
    curl_header* header = nullptr;
    if (curl_easy_header(Easy, Name, 0, CURLH_HEADER, -1, &header) != CURLHE_OK || header == nullptr)
        return std::string();
    return header->value;
}

/// libcurl's detailed text without the times that it tells (" after 3 ms", " after 30001 milliseconds"):
/// the same failure has the same message in every run.
std::string WithoutElapsedTime(const std::string& Text)
{
    std::string result;
    size_t from = 0;
    for (size_t at; (at = Text.find(" after ", from)) != std::string::npos;) {
        size_t end = at + 7;
        while (end < Text.size() && Text[end] >= '0' && Text[end] <= '9')
            ++end;
        size_t unit = 0;
        for (const char* name : {" milliseconds", " ms"})
            if (end > at + 7 && Text.compare(end, std::strlen(name), name) == 0) {
                unit = std::strlen(name);
                break;
            }
        result.append(Text, from, (unit != 0 ? at : end) - from);
        from = end + unit;
    }
    return result.append(Text, from, std::string::npos);
}

/// The redirects that libcurl follows.
bool IsFollowedRedirect(long Status)
{
    return Status == 301 || Status == 302 || Status == 303 || Status == 307 || Status == 308;
}

/// A reply that may well be different when asked again a little later.
bool IsPassingStatus(long Status)
{
    return Status == 429 || Status == 502 || Status == 503 || Status == 504;
}

/// A failure of the connection rather than of the request: it may well not recur.
bool IsPassingFault(CURLcode Code)
{
    switch (Code) {
    case CURLE_COULDNT_CONNECT:    // refused
    case CURLE_RECV_ERROR:         // reset
    case CURLE_SEND_ERROR:         // reset while the request went out
    case CURLE_GOT_NOTHING:        // closed before any reply
    case CURLE_PARTIAL_FILE:       // closed before the body's end
    case CURLE_OPERATION_TIMEDOUT: // no connection within its bound
        return true;
    default:
        return false;
    }
}

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
    TWriteFailure Written; ///< what Reply or Receive raised on the file thread
    std::string Pending;   ///< received for a file task and not yet handed over (HandOver)
    bool Done = false;
    std::exception_ptr Failure; ///< raised by the task's Reply or Receive; ends the transfer
    long Status = 0;            ///< a status other than 200 that ended the transfer when the headers had come
    CURLcode Result = CURLE_OK; ///< of the completion message
    long ResponseCode = 0;      ///< of the completion message
    bool Stalled = false;       ///< ended by the engine: nothing received for the stall bound
    bool Replied = false;       ///< the final reply's headers have come
    char Error[CURL_ERROR_SIZE] = {}; ///< libcurl's detailed text for a failure; empty when it has none
    /// The Location header of the last reply when it was a redirect; empty otherwise.
    std::string Location;
    /// What a 429 or 503 reply asked for with Retry-After; 0 when nothing.
    std::chrono::seconds RetryAfter{0};
    TClock::time_point LastByte;  ///< when the transfer last received something, or was attached
    TClock::time_point Ended;     ///< when it was done
    uint64_t* Received = nullptr; ///< the engine's count of the body bytes received

    /// Begun and waiting for a place in flight.
    bool IsPrepared() const { return Easy != nullptr && !Beginning && !Attached; }
};

/// Gives a file task the bytes held for it (TTransfer::Pending): on the file thread when its Begin ran
/// there, else to its Receive here. False when Receive raised, now or before: the failure is kept and ends
/// the transfer, and the task is given nothing more.
bool HandOver(TTransfer& Transfer) noexcept
{
    if (Transfer.Failure)
        Transfer.Pending.clear();
    if (Transfer.Pending.empty())
        return !Transfer.Failure;
    if (Transfer.Files != nullptr) {
        Transfer.Files->PostReceive(*Transfer.Task, std::exchange(Transfer.Pending, {}), Transfer.Written);
        return true;
    }
    try {
        Transfer.Task->Receive(Transfer.Pending.data(), Transfer.Pending.size());
    } catch (...) {
        Transfer.Failure = std::current_exception();
    }
    Transfer.Pending.clear();
    return !Transfer.Failure;
}

/// libcurl's header function: once the headers of a reply have come, a redirect that libcurl follows and an
/// interim reply let the transfer go on; the task is told of a 200, and any other status ends the transfer
/// there (libcurl reports a write error), before any byte of the body is read.
size_t HeaderCallback(char* /*buffer*/, size_t size, size_t nitems, void* userdata) noexcept
{
    FATAL_CHECK(BrintLib::TestPtr__(userdata));
    auto* transfer = static_cast<TTransfer*>(userdata);
    const size_t length = size * nitems;
    transfer->LastByte = TClock::now();
    // Only the empty line that closes a header block matters.
    if (length > 2)
        return length;
    long status = 0;
    FATAL_CHECK(curl_easy_getinfo(transfer->Easy, CURLINFO_RESPONSE_CODE, &status) == CURLE_OK);
    // 0: a proxy's answer to CONNECT, whose outcome libcurl judges itself; 1xx: the final reply is to come.
    if (status == 0 || (status >= 100 && status < 200))
        return length;
    transfer->Location = status >= 300 && status < 400 ? LastHeader(transfer->Easy, "Location") : "";
    if (IsFollowedRedirect(status) && !transfer->Location.empty())
        return length;
    if (status != 200) {
        transfer->Status = status;
        curl_off_t retryAfter = 0;
        if (curl_easy_getinfo(transfer->Easy, CURLINFO_RETRY_AFTER, &retryAfter) == CURLE_OK &&
            retryAfter > 0)
            transfer->RetryAfter = std::min(std::chrono::seconds(retryAfter), kMaxRetryAfter);
        return 0;
    }
    transfer->Replied = true;
    char* url = nullptr;
    FATAL_CHECK(curl_easy_getinfo(transfer->Easy, CURLINFO_EFFECTIVE_URL, &url) == CURLE_OK);
    const TReply reply{url != nullptr ? url : transfer->Url, LastHeader(transfer->Easy, "Content-Type")};
    if (transfer->Files != nullptr) {
        transfer->Files->PostReply(*transfer->Task, reply, transfer->Written);
        return length;
    }
    try {
        transfer->Task->Reply(reply);
    } catch (...) {
        // libcurl ends the transfer with CURLE_WRITE_ERROR.
        transfer->Failure = std::current_exception();
        return 0;
    }
    return length;
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
    transfer->LastByte = TClock::now();
    FATAL_CHECK(BrintLib::TestPtr__(ptr));
    if (transfer->Failure)
        return CURL_WRITEFUNC_ERROR;
    *transfer->Received += length;
    if (transfer->Files != nullptr && transfer->Written.Failed.load())
        return CURL_WRITEFUNC_ERROR;
    if (!transfer->Destination.empty()) {
        // A file is given its bytes in batches: fewer writes, and fewer hand-overs to the file thread.
        transfer->Pending.append(ptr, length);
        if (transfer->Pending.size() >= kFileBatchBytes && !HandOver(*transfer))
            return CURL_WRITEFUNC_ERROR;
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

/// The multi handle, an easy handle with the options that every transfer shares (each transfer has a
/// copy), the transfers begun and not yet taken by their turn, and the select() loop that drives them.
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
    /// The transfers that may be in flight at once: N, or N connections' streams (at most kMaxMultiplexed)
    /// when the server last replied over a connection that multiplexes; 1 when N is 1.
    size_t Capacity() const
    {
        return m_Connections == 1 ? 1
               : m_Multiplexing   ? std::min((m_Tunnelled ? 1 : m_Connections) * m_Streams, kMaxMultiplexed)
                                  : m_Connections;
    }
    TTransfer* Find(const ITask& Task) const;
    /// A new easy handle with the options that every transfer shares and Url; null when libcurl refuses
    /// the URL (Refusal then holds libcurl's code).
    CURL* TakeEasy(const std::string& Url, CURLcode& Refusal);
    /// Ends the easy handle of a transfer that is not, or no longer, attached.
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
    /// Capacity() are in flight and fewer than Capacity() (at most kMaxPagesAhead) pages are held, up to
    /// kLookAheadPerConnection * Capacity() (at most kMaxLookAhead) tasks ahead. File tasks that the file
    /// thread begins are begun before a place is free, up to Capacity() of them, so that a place that frees
    /// is taken at once.
    void StartEarly(const TTaskQueue* Upcoming);
    /// Detaches the transfer's handle (ending the transfer if it still runs) and forgets the transfer.
    void Release(TTransfer& Transfer);
    /// The transfer in flight is done: its handle ends, its connection goes to libcurl's cache (unless the
    /// transfer still ran).
    void Complete(TTransfer& Transfer);
    /// Ends the transfers in flight that have received nothing for the stall bound; returns how many.
    size_t EndStalls();
    /// The message of the failure that ended Transfer, and whether it is a passing fault; empty when the
    /// transfer succeeded. The task's own failure is not looked at.
    std::string FailureOf(const TTransfer& Transfer, bool& Passing) const;
    /// Begins the transfer, done with a passing fault, again at its task's turn and attaches it. Begin's
    /// failure leaves as raised.
    void Restart(TTransfer& Transfer);
    /// curl_multi_perform, then the completion messages. Returns libcurl's code; Ended counts the
    /// transfers that ended.
    CURLMcode Perform(size_t& Ended);
    CURLMcode Perform()
    {
        size_t ended = 0;
        return Perform(ended);
    }
    /// Waits on the sockets of the transfers in flight, at most Longest or libcurl's next timer; returns
    /// what select() returns.
    int Select(std::chrono::milliseconds Longest);
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

    fd_set m_fdRead;
    fd_set m_fdWrite;
    fd_set m_fdExcep;
    const size_t m_Connections;
    const size_t m_Streams; ///< transfers in flight at most over connections that multiplex
    /// The last reply came over HTTP/2: the server multiplexes, and Capacity() counts the streams.
    bool m_Multiplexing = false;
    /// Replies came over HTTP/2 through a proxy's CONNECT tunnel: one connection to a host at most, whose
    /// streams are all that run (libcurl 7.88 fails transfers that it multiplexes onto a second tunnel to
    /// the host while that is being made: "send: no filter connected").
    bool m_Tunnelled = false;
    const TTransferBounds m_Bounds;
    const long m_StallSeconds;
    const long m_Retries;                  ///< attempts after the first for a passing fault
    const std::string m_CertificateBundle; ///< CURLOPT_CAINFO when not empty
    CURLM* m_hMulti = nullptr;
    /// What the easy handles share beyond the multi handle's caches of connections and names: TLS sessions.
    CURLSH* m_Share = nullptr;
    /// The options that every transfer shares; each transfer's handle is a copy.
    CURL* m_Template = nullptr;
    int m_Running = 0;
    /// Begun and not yet taken by their turn, by task.
    std::unordered_map<const ITask*, std::unique_ptr<TTransfer>> m_Transfers;
    std::unordered_set<std::string> m_Destinations; ///< of the transfers begun, those not empty
    size_t m_InFlight = 0;                          ///< transfers attached and not ended
    size_t m_Prepared = 0;                          ///< transfers beginning or begun, not yet attached
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

TCURLTransfer::TCURLTransfer(size_t Connections, const TTransferBounds& Bounds)
    : m_Connections(std::clamp<size_t>(Connections, 1,
                                       static_cast<size_t>(BrintLib::FindSetting(kConnectionsVariable).Max))),
      m_Streams(static_cast<size_t>(BrintLib::WholeNumberFromEnvironment(kStreamsVariable))),
      m_Bounds(Bounds), m_StallSeconds(BrintLib::WholeNumberFromEnvironment(kStallVariable)),
      m_Retries(BrintLib::WholeNumberFromEnvironment(kRetriesVariable)),
      m_CertificateBundle(CertificateBundle()), m_FilesOnThread(Bounds.SlowFileBegin.count() == 0)
{
    m_hMulti = curl_multi_init();
    FATAL_CHECK(BrintLib::TestPtr__(m_hMulti));
    const long connections = static_cast<long>(m_Connections);
    FATAL_CHECK(curl_multi_setopt(m_hMulti, CURLMOPT_MAX_HOST_CONNECTIONS, connections) == CURLM_OK);
    FATAL_CHECK(curl_multi_setopt(m_hMulti, CURLMOPT_MAX_TOTAL_CONNECTIONS, connections) == CURLM_OK);
    // Every connection is kept for the run: libcurl's default cache shrinks with the handles attached and
    // closes idle connections that the next transfers would open again.
    FATAL_CHECK(curl_multi_setopt(m_hMulti, CURLMOPT_MAXCONNECTS, connections) == CURLM_OK);
    // Transfers to a server that speaks HTTP/2 share one connection, as many at once as the server allows
    // and SKERROW_STREAMS says.
    FATAL_CHECK(curl_multi_setopt(m_hMulti, CURLMOPT_PIPELINING, CURLPIPE_MULTIPLEX) == CURLM_OK);
    FATAL_CHECK(curl_multi_setopt(m_hMulti, CURLMOPT_MAX_CONCURRENT_STREAMS, static_cast<long>(m_Streams)) ==
                CURLM_OK);
    m_Share = curl_share_init();
    FATAL_CHECK(BrintLib::TestPtr__(m_Share));
    // One TLS handshake in full per host: the later connections resume the session of the first.
    FATAL_CHECK(curl_share_setopt(m_Share, CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION) == CURLSHE_OK);
    m_Template = curl_easy_init();
    FATAL_CHECK(BrintLib::TestPtr__(m_Template));
    CURL* const easy = m_Template;
    FATAL_CHECK(curl_easy_setopt(easy, CURLOPT_NOPROGRESS, 1L) == CURLE_OK);
    // SIGPIPE is ignored for the whole process (TCURLGlobal): libcurl need not save and restore its
    // handling around every call, and needs no signal for the names it looks up (on a thread of its own).
    FATAL_CHECK(curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L) == CURLE_OK);
    // HTTP/2 where the server offers it over TLS (ALPN), HTTP/1.1 otherwise.
    FATAL_CHECK(curl_easy_setopt(easy, CURLOPT_HTTP_VERSION, CURL_HTTP_VERSION_2TLS) == CURLE_OK);
    // Every transfer ends: a connection within its bound; the stall bound is the engine's (EndStalls).
    FATAL_CHECK(curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT, kConnectTimeoutSeconds) == CURLE_OK);
    FATAL_CHECK(curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, HeaderCallback) == CURLE_OK);
    FATAL_CHECK(curl_easy_setopt(easy, CURLOPT_HTTPGET, 1L) == CURLE_OK);
    // A whole picture in one read and one write, where libcurl's default reads 16 KB at a time.
    FATAL_CHECK(curl_easy_setopt(easy, CURLOPT_BUFFERSIZE, kReceiveBufferBytes) == CURLE_OK);
    // Every compression that libcurl decodes is asked for, and whatever comes compressed is decoded.
    FATAL_CHECK(curl_easy_setopt(easy, CURLOPT_ACCEPT_ENCODING, "") == CURLE_OK);
    FATAL_CHECK(curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 1L) == CURLE_OK);
    FATAL_CHECK(curl_easy_setopt(easy, CURLOPT_MAXREDIRS, kMaxRedirects) == CURLE_OK);
    FATAL_CHECK(curl_easy_setopt(easy, CURLOPT_REDIR_PROTOCOLS_STR, "http,https") == CURLE_OK);
    // A proxy's answer to CONNECT is libcurl's business: the header function sees the server's replies.
    FATAL_CHECK(curl_easy_setopt(easy, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L) == CURLE_OK);
    FATAL_CHECK(curl_easy_setopt(easy, CURLOPT_SSL_VERIFYPEER, 1L) == CURLE_OK);
    FATAL_CHECK(curl_easy_setopt(easy, CURLOPT_SSL_VERIFYHOST, 2L) == CURLE_OK);
    if (!m_CertificateBundle.empty())
        FATAL_CHECK(curl_easy_setopt(easy, CURLOPT_CAINFO, m_CertificateBundle.c_str()) == CURLE_OK);
}

TCURLTransfer::~TCURLTransfer()
{
    m_Files.Cancel();
    for (const auto& [task, transfer] : m_Transfers) {
        if (transfer->Easy != nullptr && transfer->Attached)
            FATAL_CHECK(curl_multi_remove_handle(m_hMulti, transfer->Easy) == CURLM_OK);
        if (transfer->Easy != nullptr)
            curl_easy_cleanup(transfer->Easy);
    }
    curl_easy_cleanup(m_Template);
    FATAL_CHECK(curl_multi_cleanup(m_hMulti) == CURLM_OK);
    FATAL_CHECK(curl_share_cleanup(m_Share) == CURLSHE_OK);
}

TTransfer* TCURLTransfer::Find(const ITask& Task) const
{
    const auto found = m_Transfers.find(&Task);
    return found == m_Transfers.end() ? nullptr : found->second.get();
}

CURL* TCURLTransfer::TakeEasy(const std::string& Url, CURLcode& Refusal)
{
    // A handle of its own for every transfer: libcurl counts the requests that it sends again on a fresh
    // connection (the one it reused had been closed meanwhile) per handle, across transfers, and gives up
    // after a few. Connections, names and TLS sessions live on in the multi handle and the share.
    CURL* easy = curl_easy_duphandle(m_Template);
    FATAL_CHECK(BrintLib::TestPtr__(easy));
    FATAL_CHECK(curl_easy_setopt(easy, CURLOPT_SHARE, m_Share) == CURLE_OK);
    // The URL comes from the network: one that libcurl refuses (too long, a NUL that would cut it short)
    // fails its task only.
    Refusal = Url.find('\0') != std::string::npos ? CURLE_URL_MALFORMAT
                                                  : curl_easy_setopt(easy, CURLOPT_URL, Url.c_str());
    // An https transfer that starts while the first connection to its host is being made waits for its
    // TLS handshake to tell (by ALPN) whether the connection multiplexes, rather than opening one of its
    // own. Over plain http nothing multiplexes, and nothing need wait.
    const bool https = Url.size() > 6 && strncasecmp(Url.c_str(), "https:", 6) == 0;
    FATAL_CHECK(curl_easy_setopt(easy, CURLOPT_PIPEWAIT, https ? 1L : 0L) == CURLE_OK);
    if (m_Multiplexing)
        FATAL_CHECK(curl_easy_setopt(easy, CURLOPT_BUFFERSIZE, kMultiplexedReceiveBufferBytes) == CURLE_OK);
    if (Refusal == CURLE_OK)
        return easy;
    curl_easy_cleanup(easy);
    return nullptr;
}

void TCURLTransfer::ReturnEasy(CURL* Easy)
{
    curl_easy_cleanup(Easy);
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
    Transfer.Error[0] = '\0';
    FATAL_CHECK(curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, Transfer.Error) == CURLE_OK);
    FATAL_CHECK(curl_multi_add_handle(m_hMulti, easy) == CURLM_OK);
    Transfer.LastByte = TClock::now();
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
    const size_t capacity = Capacity();
    if (Upcoming == nullptr || capacity == 1)
        return;
    const size_t lookAhead = std::min({Upcoming->Size(), kLookAheadPerConnection * capacity, kMaxLookAhead});
    const size_t pagesAhead = std::min(capacity, kMaxPagesAhead);
    bool started = false;
    // Nothing starts while every place is taken, but a file that the file thread may create beforehand.
    for (size_t i = 0; i < lookAhead && (m_InFlight < capacity || (m_FilesOnThread && m_Prepared < capacity));
         ++i) {
        ITask& task = Upcoming->At(i);
        if (TTransfer* transfer = Find(task)) {
            // A prepared transfer takes the first place that is free.
            if (transfer->IsPrepared() && m_InFlight < capacity) {
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
        const bool onFileThread = !destination.empty() && m_FilesOnThread;
        if (destination.empty() ? m_Pages >= pagesAhead || m_InFlight >= capacity
                                : m_Destinations.count(destination) != 0 ||
                                      (onFileThread ? m_Prepared >= capacity : m_InFlight >= capacity))
            continue;
        // A URL that libcurl refuses, or a Begin that fails (a file that exists, a directory that cannot
        // be written), fails again and is reported at the task's turn.
        CURLcode refusal = CURLE_OK;
        CURL* easy = TakeEasy(task.GetUrl(), refusal);
        if (easy == nullptr) {
            m_Declined.insert(&task);
            continue;
        }
        // On a slow file system creating a file takes the kernel a while: that happens on the file thread,
        // and the transfer is prepared once its outcome is collected.
        if (onFileThread) {
            Track(task, easy).Beginning = true;
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
    std::cout << "Download: " << BrintLib::MaskControlBytes(Task.GetUrl()) << '\n';
    m_Activity.Attempt = 1;
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
    for (long retry = 1;; ++retry) {
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
        bool passing = false;
        const std::string failure = FailureOf(*transfer, passing);
        if (failure.empty())
            break;
        if (!passing || retry > m_Retries)
            APL_THROW(failure);
        // The pause counts from the failure, which may have come before the turn.
        const std::chrono::milliseconds pause =
            transfer->RetryAfter.count() > 0 ? transfer->RetryAfter : retry * m_Bounds.RetryPause;
        m_Activity.Attempt = static_cast<unsigned>(retry) + 1;
        m_Activity.Attempts = static_cast<unsigned>(m_Retries) + 1;
        Pause(transfer->Ended + pause, Upcoming);
        Restart(*transfer);
    }
    Release(*transfer);
    Task.Finish();
}

std::string TCURLTransfer::FailureOf(const TTransfer& Transfer, bool& Passing) const
{
    std::ostringstream message;
    message << "Transfer error: ";
    const long status = Transfer.Status != 0 ? Transfer.Status : Transfer.ResponseCode;
    if (Transfer.Stalled) {
        Passing = true;
        message << "nothing received for " << m_StallSeconds << " s";
    } else if (Transfer.Result != CURLE_OK && Transfer.Status == 0) {
        Passing = IsPassingFault(Transfer.Result);
        if (Transfer.Error[0] != '\0')
            message << WithoutElapsedTime(Transfer.Error);
        else if (Transfer.Result == CURLE_OUT_OF_MEMORY && !Transfer.Replied)
            message << "header line too long (more than " << kMaxHeaderLine << " bytes)";
        else
            message << curl_easy_strerror(Transfer.Result);
    } else if (status != 200) {
        Passing = IsPassingStatus(status);
        message << "server return error code " << status;
    } else {
        return std::string();
    }
    message << " URL: " << Transfer.Url;
    if (!Transfer.Location.empty())
        message << " Location: " << Transfer.Location;
    return message.str();
}

void TCURLTransfer::Restart(TTransfer& Transfer)
{
    CURLcode refusal = CURLE_OK;
    CURL* easy = TakeEasy(Transfer.Url, refusal);
    FATAL_CHECK(easy != nullptr); // libcurl took the URL for the attempt before
    // Whatever its first attempt was, this one runs on the calling thread: the file thread has nothing of it.
    Transfer.Files = nullptr;
    Transfer.Written.Failed.store(false);
    Transfer.Written.Failure = nullptr;
    Transfer.Pending.clear();
    Transfer.Done = false;
    Transfer.Failure = nullptr;
    Transfer.Status = 0;
    Transfer.Result = CURLE_OK;
    Transfer.ResponseCode = 0;
    Transfer.Stalled = false;
    Transfer.Replied = false;
    Transfer.Location.clear();
    Transfer.RetryAfter = std::chrono::seconds(0);
    Transfer.Easy = easy;
    Transfer.Attached = false;
    ++m_Prepared;
    Transfer.Task->Begin(); // a failure leaves the transfer prepared, for the turn to release
    Attach(Transfer);
    Perform();
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
        transfer->Result = pCurlMsg->data.result;
        FATAL_CHECK(curl_easy_getinfo(transfer->Easy, CURLINFO_RESPONSE_CODE, &transfer->ResponseCode) ==
                    CURLE_OK);
        // Whether the server multiplexes decides how many transfers may run at once from now on.
        long version = CURL_HTTP_VERSION_NONE;
        if (curl_easy_getinfo(transfer->Easy, CURLINFO_HTTP_VERSION, &version) == CURLE_OK &&
            version != CURL_HTTP_VERSION_NONE)
            m_Multiplexing = version >= CURL_HTTP_VERSION_2_0;
        // A transfer over a tunnel that an earlier one made tells no CONNECT reply of its own.
        long tunnel = 0;
        const bool tunnelled =
            m_Multiplexing && (m_Tunnelled || (curl_easy_getinfo(transfer->Easy, CURLINFO_HTTP_CONNECTCODE,
                                                                 &tunnel) == CURLE_OK &&
                                               tunnel != 0));
        if (tunnelled != m_Tunnelled) {
            m_Tunnelled = tunnelled;
            const long perHost = tunnelled ? 1L : static_cast<long>(m_Connections);
            FATAL_CHECK(curl_multi_setopt(m_hMulti, CURLMOPT_MAX_HOST_CONNECTIONS, perHost) == CURLM_OK);
        }
        Complete(*transfer);
        ++Ended;
    }
    return code;
}

void TCURLTransfer::Complete(TTransfer& Transfer)
{
    Transfer.Done = true;
    Transfer.Ended = TClock::now();
    HandOver(Transfer);
    std::string().swap(Transfer.Pending); // a done transfer may wait long for its turn: it holds no buffer
    // The handle ends at once, its connection goes to libcurl's cache.
    FATAL_CHECK(curl_multi_remove_handle(m_hMulti, Transfer.Easy) == CURLM_OK);
    ReturnEasy(Transfer.Easy);
    Transfer.Easy = nullptr;
    --m_InFlight;
}

size_t TCURLTransfer::EndStalls()
{
    const TClock::time_point now = TClock::now();
    const std::chrono::seconds bound(m_StallSeconds);
    size_t ended = 0;
    for (const auto& [task, transfer] : m_Transfers) {
        if (transfer->Easy == nullptr || !transfer->Attached || now - transfer->LastByte < bound)
            continue;
        // Detaching the handle ends the transfer and closes its connection.
        transfer->Stalled = true;
        Complete(*transfer);
        ++ended;
    }
    return ended;
}

int TCURLTransfer::Select(std::chrono::milliseconds Longest)
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
    const long boundMs = static_cast<long>(std::max<std::chrono::milliseconds::rep>(Longest.count(), 0));
    const long waitMs = timerMs >= 0 && timerMs < boundMs ? timerMs : boundMs;
    // An outcome of the file thread's Begins wakes the wait too.
    const int wake = m_Files.WakeFd();
    if (wake >= 0) {
        FD_SET(wake, &m_fdRead);
        MaxFD = std::max(MaxFD, wake);
    }
    // The file thread works on what this step posted while the engine waits.
    m_Files.Wake();
    // What the program wrote since the last wait reaches the console before this one: a log that a person
    // follows stays current, and a run that never waits writes its lines a buffer at a time.
    std::cout.flush();
    timeval timeout{waitMs / 1000, waitMs % 1000 * 1000};
    return select(MaxFD + 1, &m_fdRead, &m_fdWrite, &m_fdExcep, &timeout);
}

std::exception_ptr TCURLTransfer::Step(const TTaskQueue* Upcoming, std::chrono::milliseconds Longest)
{
    const int selected = Select(Longest);
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
        if (transfer->Easy != nullptr && transfer->Attached &&
            (silent == nullptr || transfer->LastByte < silent->LastByte))
            silent = transfer.get();
    m_Activity.SilentHost.clear();
    m_Activity.Silent = std::chrono::seconds(0);
    if (silent != nullptr) {
        m_Activity.Silent = std::chrono::duration_cast<std::chrono::seconds>(now - silent->LastByte);
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
    while (!Transfer.Done)
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
