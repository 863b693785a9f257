// The transfer engine: the HTTP GETs of the tasks over libcurl's multi interface, up to N at a time.
//
// A task's transfer may start before its turn (a look-ahead over the task queue), but everything the
// program shows happens at the task's turn, in queue order, exactly as if one transfer ran at a time: the
// "Download: " line, the failure, Finish. Every call of a task happens on the thread that calls Download,
// but on a slow file system: once creating a file has taken TTransferBounds::SlowFileBegin, the Begin,
// Reply and Receive calls of a task with a destination that starts early run on the engine's file thread
// (libs/Net/FileThread.h), and the transfers in flight go on meanwhile. The engine waits on the transfers'
// sockets itself with select() and a timeout of at most 0.5 s, and calls libcurl after every wait.
//
// The request: http or https, libcurl's default headers, a User-Agent that names the program, its version and
// its address, and an Accept-Encoding with every compression that the engine decodes (gzip, deflate, br,
// zstd; libs/Net/Decoding.h): the task is given the decoded body, whatever the server compressed, and a
// compressed body counts as whole only when its stream reached its end. Redirects (301, 302, 303, 307, 308)
// are followed, to http and https addresses only and at most 10 of them; the task is told where they led
// (ITask::Reply). A transfer succeeds only when libcurl ends it without error and the final reply is 200. TLS
// is always verified: against the system's certificates, or the bundle that SSL_CERT_FILE names, or else
// CURL_CA_BUNDLE. libcurl's own proxy variables (http_proxy, https_proxy, no_proxy) apply; https goes through
// an HTTP proxy by CONNECT.
//
// Every transfer ends: a connection must be made within 30 s, and a transfer that receives no byte on the
// wire (compressed or not) for SKERROW_STALL_SECONDS seconds (environment; a whole number from 1 to 86400,
// default 60) fails within a second after that. SKERROW_CONNECTIONS (environment; 1 to 64, default 6) is N,
// the number of transfers in flight at once and of connections to one host; 1 is one transfer at a time.
//
// HTTP/2 is used where the server offers it over TLS (ALPN); HTTP/1.1 otherwise. Over HTTP/2 the transfers
// to one host share a connection, up to SKERROW_STREAMS (environment; 1 to 1000, default 100) or as many as
// the server allows on it, and a further connection is opened (up to N) only when those are taken: once the
// last reply came over HTTP/2, up to N times SKERROW_STREAMS transfers (at most 256) are in flight at once
// instead of N; through a proxy's CONNECT tunnels, one connection to a host carries them all (up to
// SKERROW_STREAMS). N = 1 is still one transfer at a time. Connections are kept for the whole run (up to N),
// and TLS sessions are shared, so that a host costs one full handshake.
// SIGPIPE is ignored in the whole process from the first TCURLGlobal on.
//
// Passing faults are tried again, up to SKERROW_RETRIES more times (environment; 0 to 10, default 2; 0 =
// never): 429, 502, 503 and 504 replies, a connection refused, reset or cut before the body's end, a
// compressed stream cut short, an empty reply, a stall, an HTTP/2 connection ended under the transfer
// (GOAWAY; libcurl's "send: no filter connected" too) or its stream reset. The n-th attempt again waits n s
// (TTransferBounds::RetryPause) from the failure before it starts, or as long as a 429 or 503 reply's
// Retry-After says (at most 30 s, TTransferBounds::LongestRetryAfter); the other transfers go on meanwhile.
// An attempt after a connection that failed under the transfer (an HTTP/2 connection ended, a request that
// could not be sent) opens a new connection. A connection that the server closed as a request on it arrived
// is replaced at once by libcurl, whatever SKERROW_RETRIES says, and never counts against later transfers.
//
// A value of these variables out of its range is refused (libs/Environment.h).
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

/// What the transfers of a Download have done so far, for a progress display.
struct TActivity {
    uint64_t BytesReceived = 0;     ///< body bytes received (before decoding) since the engine was made
    std::string SilentHost;         ///< the host of the transfer in flight silent the longest; empty: none
    std::chrono::seconds Silent{0}; ///< how long that transfer has received nothing
    unsigned Attempt = 1;           ///< the attempt at the task in turn, of Attempts (1 + SKERROW_RETRIES)
    unsigned Attempts = 1;
};

struct ITask;
class TTaskQueue;

/// libcurl's global initialisation for the lifetime of the object (curl_global_init with
/// CURL_GLOBAL_ALL, its result ignored; curl_global_cleanup on destruction). SIGPIPE is ignored from then
/// on: a write to a connection that the peer closed fails instead of ending the process.
class TCURLGlobal {
  public:
    TCURLGlobal();
    ~TCURLGlobal();
    TCURLGlobal(const TCURLGlobal&) = delete;
    TCURLGlobal& operator=(const TCURLGlobal&) = delete;
};

class TCURLTransfer;

/// The engine's waits. The program keeps the defaults; tests make them short so that they need not wait
/// them out.
struct TTransferBounds {
    /// The longest wait on the sockets before libcurl is called again.
    std::chrono::milliseconds Wait{500};
    /// Cancelling a transfer must end within this time.
    std::chrono::milliseconds Abort{1500};
    /// The pause before the first retry of a transfer; the n-th waits n times as long.
    std::chrono::milliseconds RetryPause{1000};
    /// The longest pause that a Retry-After header obtains.
    std::chrono::seconds LongestRetryAfter{30};
    /// A file task that starts early creates its file on the engine's own thread until one creation takes
    /// this long; from then on the file thread creates the files and writes them, so that a slow file
    /// system does not hold up the transfers in flight. Zero: the file thread from the start.
    std::chrono::microseconds SlowFileBegin{200};
};

/// The engine object that the driver owns for the run. Not copyable; one per process at a time, since it
/// performs libcurl's global initialisation and clean-up.
class TDownloader {
  public:
    /// N from SKERROW_CONNECTIONS.
    explicit TDownloader(const TTransferBounds& Bounds = TTransferBounds());
    /// N = Connections (at least 1, at most 64).
    explicit TDownloader(size_t Connections, const TTransferBounds& Bounds = TTransferBounds());
    ~TDownloader();
    TDownloader(const TDownloader&) = delete;
    TDownloader& operator=(const TDownloader&) = delete;

    /// The number of transfers in flight at most.
    size_t Connections() const;

    /// Observer is called on the thread of Download after every wait on the sockets while a Download runs
    /// (at least every TTransferBounds::Wait); an empty Observer calls nothing.
    void SetActivityObserver(std::function<void(const TActivity&)> Observer);

    /// Runs Task's turn to its end. A task whose ITask::Destination() exists raises TAlreadySaved (Logic.h)
    /// at once: nothing is written or requested. Otherwise writes "Download: " and the URL on standard
    /// output (unconverted; flushed, with all written before, when the engine next waits) first, then calls
    /// Task.Begin(), Task.Reply() once the final reply's headers have come, Task.Receive() for every chunk of
    /// the body in arrival order, and Task.Finish() only when the transfer succeeded. An attempt that ends in
    /// a passing fault is followed by another, from Task.Begin() on, as long as retries are left; only the
    /// last attempt's failure is raised.
    ///
    /// Raises BrintLib::TInterrupted, before anything else or while it waits (every transfer in flight is
    /// then cancelled), once SIGINT or SIGTERM has been recorded (libs/Interruption).
    ///
    /// Raises BrintLib::TAplThrowException when the transfer fails:
    ///  * "Transfer error: <libcurl's text> URL: <url>" (refused connection, unknown host, broken body,
    ///    certificate, connection timeout, too many redirects...), libcurl's detailed text for the failure
    ///    where it has one (without the times it tells: " after 3 ms"), its text for the code otherwise;
    ///    also, before Begin, for a URL that libcurl refuses (too long, badly formed) or that holds a NUL
    ///    byte;
    ///  * "Transfer error: header line too long (more than 102400 bytes) URL: <url>" for a reply that
    ///    libcurl refuses for it;
    ///  * "Transfer error: nothing received for <N> s URL: <url>" for a stall;
    ///  * "Transfer error: server return error code <status> URL: <url>" for any final status but 200, as
    ///    soon as the headers have come: Receive is given no byte of the error page; followed by
    ///    " Redirected to: <address>" when redirects led to the address that answered so;
    ///  * "Transfer error: <encoding> body cut short: <n> bytes came, its stream did not end URL: <url>" for
    ///    a compressed body whose stream ended early, "Transfer error: <encoding> body is corrupt after <n>
    ///    bytes: <decoder's text> URL: <url>" for one that is no stream of its encoding;
    ///  * either of the first and the last followed by " Location: <value>" when the last reply was a
    ///    redirect (one not followed, the 11th, one to another scheme...), its Location header's value
    ///    (" Location: (empty)" when the header was there and empty);
    ///  * "curl_multi_perform error: <text>" and "select from socket error: <errno>".
    /// A failure that Begin, Receive or Finish raises leaves Download as it was raised; one raised by
    /// Receive ends the transfer first, and the task is given no further byte. Either way the engine
    /// serves the next Download. When ending a transfer takes longer than 1.5 s (TTransferBounds::Abort), the
    /// failure raised instead is "Попытка прервать передачу данных заняла слишком много времени", a line feed
    /// and the message of the failure that was pending.
    void Download(ITask& Task);

    /// The same, for Task just taken from the front of Upcoming. While it runs, whenever fewer than C
    /// transfers are in flight (C: N, or N times SKERROW_STREAMS, at most 256, once the last reply came over
    /// HTTP/2), the transfers of the next tasks of Upcoming start too, in queue order, up to 4C (at most 640)
    /// tasks ahead and with at most C (at most 64) pages (tasks without a destination) begun and not yet had
    /// their turn, when they can start
    /// before their turn: libcurl takes the URL, no transfer begun has the same ITask::Destination(), Begin
    /// succeeds. Their Begin and Receive calls happen then; their outcome is kept for their own Download,
    /// which replays it. A task whose early start fails starts at its turn instead, as if it had never been
    /// tried; one that ends in a passing fault is tried again at its turn, once the pause since its failure
    /// has passed. With N = 1 nothing starts early. A task that has started early must stay alive until its
    /// own Download or until the engine is destroyed.
    void Download(ITask& Task, const TTaskQueue& Upcoming);

  private:
    TCURLGlobal m_Global; ///< first member: constructed before and destroyed after every libcurl handle
    std::unique_ptr<TCURLTransfer> m_Transfer;
};
