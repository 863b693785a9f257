#include "libs/Net/Session.h"

#include <strings.h>
#include <sys/select.h>

#include <algorithm>
#include <cstdlib>

#include "libs/Exceptions.h"
#include "libs/Net/Decoding.h"

namespace {

/// The program's address, where its users find it.
const char kProjectAddress[] = "https://github.com/skerrow/skerrow";

/// A connection that cannot be made within this many seconds fails its transfer.
constexpr long kConnectTimeoutSeconds = 30;
/// Redirects followed at most for one transfer.
constexpr long kMaxRedirects = 10;
/// Transfers in flight at most over connections that multiplex: the bytes of those that end at once wait
/// in memory for the file thread, and a few hundred serve a whole issue in one or two rounds.
constexpr size_t kMaxMultiplexed = 256;
/// libcurl's receive buffer per transfer over plain http, where one read takes what the socket holds.
/// Over TLS a read hands over one record, 16 KB at most, and over a connection that multiplexes (hundreds
/// of transfers may be in flight) one frame: there libcurl's default, as a larger buffer gains nothing and
/// only holds memory.
constexpr long kReceiveBufferBytes = 128 * 1024;
constexpr long kRecordReceiveBufferBytes = CURL_MAX_WRITE_SIZE;

/// The bundle of certificates that the environment names, as OpenSSL's and curl's users name it; empty
/// for the system's.
std::string CertificateBundle()
{
    for (const char* name : {"SSL_CERT_FILE", "CURL_CA_BUNDLE"})
        if (const char* path = std::getenv(name); path != nullptr && *path != '\0')
            return path;
    return std::string();
}

} // namespace

TCurlSession::TCurlSession(size_t Connections, size_t Streams)
    : m_Connections(Connections), m_Streams(Streams), m_CertificateBundle(CertificateBundle())
{
    m_Multi = curl_multi_init();
    FATAL_CHECK(BrintLib::TestPtr__(m_Multi));
    const long connections = static_cast<long>(m_Connections);
    FATAL_CHECK(curl_multi_setopt(m_Multi, CURLMOPT_MAX_HOST_CONNECTIONS, connections) == CURLM_OK);
    FATAL_CHECK(curl_multi_setopt(m_Multi, CURLMOPT_MAX_TOTAL_CONNECTIONS, connections) == CURLM_OK);
    // Every connection is kept for the run: libcurl's default cache shrinks with the handles attached and
    // closes idle connections that the next transfers would open again.
    FATAL_CHECK(curl_multi_setopt(m_Multi, CURLMOPT_MAXCONNECTS, connections) == CURLM_OK);
    // Transfers to a server that speaks HTTP/2 share one connection, as many at once as the server allows
    // and SKERROW_STREAMS says.
    FATAL_CHECK(curl_multi_setopt(m_Multi, CURLMOPT_PIPELINING, CURLPIPE_MULTIPLEX) == CURLM_OK);
    FATAL_CHECK(curl_multi_setopt(m_Multi, CURLMOPT_MAX_CONCURRENT_STREAMS, static_cast<long>(m_Streams)) ==
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
    // Every transfer ends: a connection within its bound; the stall bound is the engine's.
    FATAL_CHECK(curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT, kConnectTimeoutSeconds) == CURLE_OK);
    FATAL_CHECK(curl_easy_setopt(easy, CURLOPT_HTTPGET, 1L) == CURLE_OK);
    // A whole picture in one read and one write over plain http, where libcurl's default reads 16 KB at a
    // time (NewEasy sets the buffer of every transfer).
    // Every compression that the engine decodes is asked for, and whatever comes compressed is decoded by
    // the engine (TBodyDecoder), which tells a stream cut short; libcurl passes the bytes as they came.
    FATAL_CHECK(curl_easy_setopt(easy, CURLOPT_ACCEPT_ENCODING, kAcceptedEncodings) == CURLE_OK);
    FATAL_CHECK(curl_easy_setopt(easy, CURLOPT_HTTP_CONTENT_DECODING, 0L) == CURLE_OK);
    // Who asks, as wget and curl tell it: many servers refuse a request that does not say.
    const std::string userAgent = std::string("Skerrow/") + SKERROW_VERSION + " (+" + kProjectAddress + ")";
    FATAL_CHECK(curl_easy_setopt(easy, CURLOPT_USERAGENT, userAgent.c_str()) == CURLE_OK);
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

TCurlSession::~TCurlSession()
{
    curl_easy_cleanup(m_Template);
    FATAL_CHECK(curl_multi_cleanup(m_Multi) == CURLM_OK);
    FATAL_CHECK(curl_share_cleanup(m_Share) == CURLSHE_OK);
}

size_t TCurlSession::Capacity() const
{
    return m_Connections == 1 ? 1
           : m_Multiplexing   ? std::min((m_Tunnelled ? 1 : m_Connections) * m_Streams, kMaxMultiplexed)
                              : m_Connections;
}

CURL* TCurlSession::NewEasy(const std::string& Url, CURLcode& Refusal) const
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
    const long buffer = https || m_Multiplexing ? kRecordReceiveBufferBytes : kReceiveBufferBytes;
    FATAL_CHECK(curl_easy_setopt(easy, CURLOPT_BUFFERSIZE, buffer) == CURLE_OK);
    if (Refusal == CURLE_OK)
        return easy;
    curl_easy_cleanup(easy);
    return nullptr;
}

void TCurlSession::Learn(CURL* Easy)
{
    // Whether the server multiplexes decides how many transfers may run at once from now on.
    long version = CURL_HTTP_VERSION_NONE;
    if (curl_easy_getinfo(Easy, CURLINFO_HTTP_VERSION, &version) == CURLE_OK &&
        version != CURL_HTTP_VERSION_NONE)
        m_Multiplexing = version >= CURL_HTTP_VERSION_2_0;
    // A transfer over a tunnel that an earlier one made tells no CONNECT reply of its own.
    long tunnel = 0;
    const bool tunnelled =
        m_Multiplexing &&
        (m_Tunnelled ||
         (curl_easy_getinfo(Easy, CURLINFO_HTTP_CONNECTCODE, &tunnel) == CURLE_OK && tunnel != 0));
    if (tunnelled != m_Tunnelled) {
        m_Tunnelled = tunnelled;
        const long perHost = tunnelled ? 1L : static_cast<long>(m_Connections);
        FATAL_CHECK(curl_multi_setopt(m_Multi, CURLMOPT_MAX_HOST_CONNECTIONS, perHost) == CURLM_OK);
    }
}

int TCurlSession::Wait(std::chrono::milliseconds Longest, int ExtraFd)
{
    fd_set read;
    fd_set write;
    fd_set except;
    FD_ZERO(&read);
    FD_ZERO(&write);
    FD_ZERO(&except);
    int maxFd = -1;
    FATAL_CHECK(curl_multi_fdset(m_Multi, &read, &write, &except, &maxFd) == CURLM_OK);
    FATAL_CHECK(maxFd < FD_SETSIZE && ExtraFd < FD_SETSIZE);
    // No longer than libcurl's next timer (a new transfer, a timeout), and never longer than the bound.
    long timerMs = -1;
    FATAL_CHECK(curl_multi_timeout(m_Multi, &timerMs) == CURLM_OK);
    const long boundMs = static_cast<long>(std::max<std::chrono::milliseconds::rep>(Longest.count(), 0));
    const long waitMs = timerMs >= 0 && timerMs < boundMs ? timerMs : boundMs;
    if (ExtraFd >= 0) {
        FD_SET(ExtraFd, &read);
        maxFd = std::max(maxFd, ExtraFd);
    }
    timeval timeout{waitMs / 1000, waitMs % 1000 * 1000};
    return select(maxFd + 1, &read, &write, &except, &timeout);
}
