// The transfer engine: the HTTP GET of one task at a time over libcurl's multi interface.
//
// One easy handle and one multi handle serve the whole run; the engine waits on the transfer's sockets
// itself with select() and a fixed 0.5 s timeout, and calls libcurl after every wait. No redirect
// following, no extra request headers: a transfer succeeds only when libcurl ends it without error and
// the server answered 200. libcurl's own proxy variables (http_proxy, no_proxy) apply.
//
// Every transfer ends: a connection must be made within 30 s, and a transfer that receives nothing for
// SKERROW_STALL_SECONDS seconds (environment; a whole number from 1 to 86400, default 60) fails with
// libcurl's text for the timeout.
#pragma once

#include <memory>

struct ITask;

/// libcurl's global initialisation for the lifetime of the object (curl_global_init with
/// CURL_GLOBAL_ALL, its result ignored; curl_global_cleanup on destruction).
class TCURLGlobal {
public:
    TCURLGlobal();
    ~TCURLGlobal();
    TCURLGlobal(const TCURLGlobal&) = delete;
    TCURLGlobal& operator=(const TCURLGlobal&) = delete;
};

class TCURLTransfer;

/// The engine object that the driver owns for the run. Not copyable; one per process at a time, since it
/// performs libcurl's global initialisation and clean-up.
class TDownloader {
public:
    TDownloader();
    ~TDownloader();
    TDownloader(const TDownloader&) = delete;
    TDownloader& operator=(const TDownloader&) = delete;

    /// Runs Task's transfer to its end. Writes "Download: " and the URL on standard output (unconverted)
    /// first, then calls Task.Begin(), Task.Receive() for every chunk of the body in arrival order, and
    /// Task.Finish() only when the transfer succeeded.
    ///
    /// Raises BrintLib::TInterrupted, before anything else or in the middle of the transfer (which is
    /// cancelled first), once SIGINT or SIGTERM has been recorded (libs/Interruption).
    ///
    /// Raises BrintLib::TAplThrowException when the transfer fails:
    ///  * "Transfer error: <libcurl's text> URL: <url>" (refused connection, unknown host, broken body,
    ///    connection or stall timeout...); also, before Begin, for a URL that libcurl refuses (too long,
    ///    badly formed) or that holds a NUL byte;
    ///  * "Transfer error: server return error code <status> URL: <url>" for any status but 200, as soon as
    ///    the headers have come: Receive is given no byte of the error page;
    ///  * "curl_multi_perform error: <text>" and "select from socket error: <errno>".
    /// A failure that Begin, Receive or Finish raises leaves Download as it was raised; one raised by
    /// Receive ends the transfer first, and the task is given no further byte. Either way the engine is
    /// idle again afterwards and serves the next Download. When ending a transfer takes longer than 1.5 s,
    /// the failure raised instead is "Попытка прервать передачу данных заняла слишком много времени",
    /// a line feed and the message of the failure that was pending.
    void Download(ITask& Task);

private:
    TCURLGlobal m_Global; ///< first member: constructed before and destroyed after every libcurl handle
    std::unique_ptr<TCURLTransfer> m_Transfer;
};
