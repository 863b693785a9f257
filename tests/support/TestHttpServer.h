// An HTTP/1.1 server for tests, inside the test's own process, on 127.0.0.1 and a port that the system
// picks. It answers with canned replies and adds no delay of its own: connections are kept alive with
// TCP_NODELAY, each served on its own thread, so idle keep-alive connections of one client never hold up
// another client.
//
// Replies are keyed by the request target exactly as the request line carries it:
//  * a client that talks to the server directly sends the path (and query):
//        GET /pics/01.jpg HTTP/1.1                  -> key "/pics/01.jpg"
//  * a client that uses the server as its HTTP proxy (libcurl with the environment variable
//    http_proxy=ProxyUrl(), lower case) sends the absolute URL:
//        GET http://mag-a.test/pics/01.jpg HTTP/1.1 -> key "http://mag-a.test/pics/01.jpg"
//    so register replies under the full URL to serve any host name; the host never has to resolve;
//  * a client that asks the server as its proxy for a tunnel (https_proxy=ProxyUrl()) sends
//        CONNECT mag-a.test:443 HTTP/1.1                 -> key "mag-a.test:443"
//    and, when SetTunnel names a port, is connected to that port on 127.0.0.1 whatever the host:
//    another server of the test, over TLS (UseTls).
// A target without a reply gets SetHandler's reply if there is a handler that takes it, else 404 with a
// short text body. A target given several replies (SetReplies) answers its n-th request with the n-th,
// and every request after the last with the last: a server that fails first and then recovers.
//
// Usage:
//     TestSupport::TTestHttpServer server;                    // listening once constructed
//     server.SetReply("/a.htm", {200, "<html>...</html>"});
//     ... fetch server.Url("/a.htm") ...
//     EXPECT_EQ(server.Requests(), std::vector<std::string>{"/a.htm"});
// The destructor stops the server; Stop() does it earlier. Stopping cuts open connections and ends
// pending delays at once. All members may be called from any thread but UseTls, which comes before any
// request.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace TestSupport {

/// One connection of the server, as the server reads and writes it.
class TServerStream {
  public:
    virtual ~TServerStream() = default;
    /// Bytes received and not yet read, which poll() does not see.
    virtual bool Pending() const = 0;
    /// What has come, at most Length bytes; 0 when the peer is gone (or never got through).
    virtual std::size_t Receive(char* Data, std::size_t Length) = 0;
    /// Sends all of Data; false when the peer is gone.
    virtual bool Send(const char* Data, std::size_t Length) = 0;
};

/// One canned reply.
struct THttpReply {
    int Status = 200;
    std::string Body;
    /// Extra header lines, in order. Content-Length is added unless given here.
    std::vector<std::pair<std::string, std::string>> Headers = {};
    /// Silence after the request has arrived, before anything of the reply is sent.
    std::chrono::milliseconds Delay{0};
    /// When set, the connection is closed after this many bytes of the body, in the middle of the reply.
    std::size_t DropAfter = kNoDrop;
    /// When set, the server falls silent after this many bytes of the body and keeps the connection open
    /// until the client closes it or the server stops.
    std::size_t StallAfter = kNoDrop;
    /// Sends "Connection: close" and closes the connection after the reply.
    bool Close = false;
    /// When set, the body is sent a byte at a time, with this pause before each byte: slow, never silent
    /// for longer.
    std::chrono::milliseconds DripEvery{0};
    /// The connection is closed at once instead of any reply: always, or when it has carried a request
    /// before (as a server closes a kept-alive connection that has been idle just as a request arrives).
    enum class TUnanswered { Never, Always, Reused } Unanswered = TUnanswered::Never;
    /// Every close that Unanswered or DropAfter makes is a reset (RST) instead of an orderly close.
    bool Reset = false;
    /// When above 0, the reply is held until this many requests have arrived in all (counting this one);
    /// when that has not happened within HoldLimit, the reply is 503 instead.
    std::size_t HoldUntilRequests = 0;
    std::chrono::milliseconds HoldLimit{30000};

    static constexpr std::size_t kNoDrop = static_cast<std::size_t>(-1);
};

class TTestHttpServer {
  public:
    /// Returns true and fills Reply when it answers Target.
    using THandler = std::function<bool(const std::string& Target, THttpReply& Reply)>;

    /// Binds 127.0.0.1 port 0 and starts accepting; fails the calling test's process (abort) when it
    /// cannot.
    TTestHttpServer();
    ~TTestHttpServer();
    TTestHttpServer(const TTestHttpServer&) = delete;
    TTestHttpServer& operator=(const TTestHttpServer&) = delete;

    /// Stops accepting, cuts every open connection and joins every thread. Idempotent.
    void Stop();

    /// Speaks TLS with the certificate chain in CertificateFile (PEM, the server's own first) and its key;
    /// aborts when OpenSSL refuses them. (TestHttpTls.cpp: only a program that calls it needs OpenSSL.)
    void UseTls(const std::string& CertificateFile, const std::string& KeyFile);
    /// Tunnels every CONNECT to Port on 127.0.0.1.
    void SetTunnel(std::uint16_t Port);

    std::uint16_t Port() const { return m_Port; }
    /// "http://127.0.0.1:PORT" ("https://..." with TLS); also the value for http_proxy and https_proxy.
    std::string BaseUrl() const;
    std::string ProxyUrl() const { return BaseUrl(); }
    /// BaseUrl() + Path; Path starts with '/'.
    std::string Url(const std::string& Path) const { return BaseUrl() + Path; }

    /// Sets (or replaces) the reply to Target; see the header comment for what Target is.
    void SetReply(const std::string& Target, THttpReply Reply);
    /// Sets (or replaces) the replies to Target, one per request, the last one for every further request.
    void SetReplies(const std::string& Target, std::vector<THttpReply> Replies);
    /// Asked for targets without a reply of their own, e.g. to serve a family of paths.
    void SetHandler(THandler Handler);

    /// The targets of all requests received so far, in arrival order.
    std::vector<std::string> Requests() const;
    /// The head (request line and header lines, up to the empty line) of every request so far.
    std::vector<std::string> RequestHeads() const;
    /// The number of connections accepted so far.
    std::size_t Connections() const;
    /// Waits until at least Count requests have arrived; false when Timeout passed (or the server stopped)
    /// first.
    bool WaitForRequests(std::size_t Count, std::chrono::milliseconds Timeout) const;

  private:
    struct TConnection {
        int Fd = -1;
        bool Done = false;
        std::thread Thread;
    };
    void AcceptLoop();
    void Serve(TConnection& Connection);
    /// Carries bytes both ways between the connection Fd (plain: Stream) and a new connection to Port on
    /// 127.0.0.1 until either side closes.
    void Tunnel(int Fd, TServerStream& Stream, std::uint16_t Port);
    /// Waits until Fd is readable (true) or the server is stopping (false).
    bool WaitReadable(int Fd) const;
    /// Sleeps Delay unless the server is stopping; false when it is.
    bool WaitDelay(std::chrono::milliseconds Delay) const;
    /// The reply to the request for Target that has just arrived.
    THttpReply FindReply(const std::string& Target);

    /// Makes the TLS side of an accepted connection, when the server speaks TLS.
    std::function<std::unique_ptr<TServerStream>(int Fd)> m_Secure;
    std::uint16_t m_TunnelPort = 0;
    int m_Listen = -1;
    int m_WakeRead = -1; ///< readable once Stop has begun
    int m_WakeWrite = -1;
    std::uint16_t m_Port = 0;
    bool m_Stopped = false;

    mutable std::mutex m_Mutex;
    mutable std::condition_variable m_RequestArrived;
    std::map<std::string, std::vector<THttpReply>> m_Replies;
    std::map<std::string, std::size_t> m_Asked; ///< requests so far, by target with replies
    THandler m_Handler;
    std::vector<std::string> m_Targets;
    std::vector<std::string> m_Heads;
    std::size_t m_ConnectionCount = 0;
    std::list<std::unique_ptr<TConnection>> m_Connections;
    std::thread m_Acceptor;
};

} // namespace TestSupport
