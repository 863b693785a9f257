#include "TestHttpServer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace TestSupport {

namespace {

void Require(bool Condition, const char* What)
{
    if (!Condition) {
        std::fprintf(stderr, "TTestHttpServer: %s failed: %s\n", What, std::strerror(errno));
        std::abort();
    }
}

const char* ReasonPhrase(int Status)
{
    switch (Status) {
    case 200:
        return "OK";
    case 301:
        return "Moved Permanently";
    case 302:
        return "Found";
    case 304:
        return "Not Modified";
    case 400:
        return "Bad Request";
    case 403:
        return "Forbidden";
    case 404:
        return "Not Found";
    case 429:
        return "Too Many Requests";
    case 500:
        return "Internal Server Error";
    case 502:
        return "Bad Gateway";
    case 503:
        return "Service Unavailable";
    case 504:
        return "Gateway Timeout";
    default:
        return "Status";
    }
}

/// Sends all of Data; false when the peer is gone.
bool SendAll(int Fd, const char* Data, std::size_t Length)
{
    while (Length > 0) {
        const ssize_t sent = send(Fd, Data, Length, MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR)
            continue;
        if (sent <= 0)
            return false;
        Data += sent;
        Length -= static_cast<std::size_t>(sent);
    }
    return true;
}

/// Receives what has come, at most Length bytes; 0 when the peer is gone.
std::size_t ReceiveSome(int Fd, char* Data, std::size_t Length)
{
    for (;;) {
        const ssize_t received = recv(Fd, Data, Length, 0);
        if (received < 0 && errno == EINTR)
            continue;
        return received > 0 ? static_cast<std::size_t>(received) : 0;
    }
}

std::string Lower(std::string Text)
{
    for (char& c : Text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return Text;
}

/// True when Head holds the header line "Name: Value", compared without regard to case.
bool HasHeaderValue(const std::string& Head, const std::string& Name, const std::string& Value)
{
    return Lower(Head).find(Lower("\r\n" + Name + ": " + Value + "\r\n")) != std::string::npos;
}

/// A connection as it is accepted.
class TPlainStream : public TServerStream {
  public:
    explicit TPlainStream(int Fd) : m_Fd(Fd) {}
    bool Pending() const override { return false; }
    std::size_t Receive(char* Data, std::size_t Length) override { return ReceiveSome(m_Fd, Data, Length); }
    bool Send(const char* Data, std::size_t Length) override { return SendAll(m_Fd, Data, Length); }

  private:
    int m_Fd;
};

} // namespace

TTestHttpServer::TTestHttpServer()
{
    int wake[2];
    Require(pipe2(wake, O_CLOEXEC) == 0, "pipe2");
    m_WakeRead = wake[0];
    m_WakeWrite = wake[1];

    m_Listen = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    Require(m_Listen >= 0, "socket");
    const int on = 1;
    Require(setsockopt(m_Listen, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) == 0, "setsockopt");
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    Require(bind(m_Listen, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0, "bind");
    Require(listen(m_Listen, 128) == 0, "listen");
    socklen_t length = sizeof address;
    Require(getsockname(m_Listen, reinterpret_cast<sockaddr*>(&address), &length) == 0, "getsockname");
    m_Port = ntohs(address.sin_port);

    m_Acceptor = std::thread([this] { AcceptLoop(); });
}

TTestHttpServer::~TTestHttpServer()
{
    Stop();
}

void TTestHttpServer::Stop()
{
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        if (m_Stopped)
            return;
        m_Stopped = true;
    }
    m_RequestArrived.notify_all(); // ends held replies
    const char byte = 'x';
    Require(write(m_WakeWrite, &byte, 1) == 1, "write");
    m_Acceptor.join();
    {
        // Unblocks sends to clients that no longer read.
        std::lock_guard<std::mutex> lock(m_Mutex);
        for (const auto& connection : m_Connections)
            if (!connection->Done)
                shutdown(connection->Fd, SHUT_RDWR);
    }
    for (const auto& connection : m_Connections)
        connection->Thread.join();
    m_Connections.clear();
    close(m_Listen);
    close(m_WakeRead);
    close(m_WakeWrite);
}

void TTestHttpServer::SetTunnel(std::uint16_t Port)
{
    std::lock_guard<std::mutex> lock(m_Mutex);
    m_TunnelPort = Port;
}

std::string TTestHttpServer::BaseUrl() const
{
    std::lock_guard<std::mutex> lock(m_Mutex);
    return (m_Secure ? "https://127.0.0.1:" : "http://127.0.0.1:") + std::to_string(m_Port);
}

void TTestHttpServer::SetReply(const std::string& Target, THttpReply Reply)
{
    SetReplies(Target, {std::move(Reply)});
}

void TTestHttpServer::SetReplies(const std::string& Target, std::vector<THttpReply> Replies)
{
    Require(!Replies.empty(), "SetReplies with a reply");
    std::lock_guard<std::mutex> lock(m_Mutex);
    m_Replies[Target] = std::move(Replies);
    m_Asked[Target] = 0;
}

void TTestHttpServer::SetHandler(THandler Handler)
{
    std::lock_guard<std::mutex> lock(m_Mutex);
    m_Handler = std::move(Handler);
}

std::vector<std::string> TTestHttpServer::Requests() const
{
    std::lock_guard<std::mutex> lock(m_Mutex);
    return m_Targets;
}

std::vector<std::string> TTestHttpServer::RequestHeads() const
{
    std::lock_guard<std::mutex> lock(m_Mutex);
    return m_Heads;
}

std::size_t TTestHttpServer::Connections() const
{
    std::lock_guard<std::mutex> lock(m_Mutex);
    return m_ConnectionCount;
}

bool TTestHttpServer::WaitForRequests(std::size_t Count, std::chrono::milliseconds Timeout) const
{
    std::unique_lock<std::mutex> lock(m_Mutex);
    m_RequestArrived.wait_for(lock, Timeout, [&] { return m_Targets.size() >= Count || m_Stopped; });
    return m_Targets.size() >= Count;
}

void TTestHttpServer::AcceptLoop()
{
    for (;;) {
        if (!WaitReadable(m_Listen))
            return;
        const int fd = accept4(m_Listen, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0)
            continue;
        const int on = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);

        std::lock_guard<std::mutex> lock(m_Mutex);
        ++m_ConnectionCount;
        // Join the threads of connections that have ended, so that many short connections do not pile up.
        for (auto it = m_Connections.begin(); it != m_Connections.end();) {
            if ((*it)->Done) {
                (*it)->Thread.join();
                it = m_Connections.erase(it);
            } else {
                ++it;
            }
        }
        m_Connections.push_back(std::make_unique<TConnection>());
        TConnection& connection = *m_Connections.back();
        connection.Fd = fd;
        connection.Thread = std::thread([this, &connection] { Serve(connection); });
    }
}

bool TTestHttpServer::WaitReadable(int Fd) const
{
    pollfd fds[2] = {{Fd, POLLIN, 0}, {m_WakeRead, POLLIN, 0}};
    for (;;) {
        const int ready = poll(fds, 2, -1);
        if (ready < 0 && errno == EINTR)
            continue;
        Require(ready > 0, "poll");
        if (fds[1].revents != 0)
            return false;
        return true;
    }
}

bool TTestHttpServer::WaitDelay(std::chrono::milliseconds Delay) const
{
    const auto end = std::chrono::steady_clock::now() + Delay;
    for (;;) {
        // Rounded up, so that the reply never comes before the delay has passed.
        const auto left =
            std::chrono::ceil<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return true;
        pollfd wake = {m_WakeRead, POLLIN, 0};
        const int ready = poll(&wake, 1, static_cast<int>(left.count()));
        if (ready > 0)
            return false;
    }
}

THttpReply TTestHttpServer::FindReply(const std::string& Target)
{
    THandler handler;
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        const auto found = m_Replies.find(Target);
        if (found != m_Replies.end())
            return found->second[std::min(m_Asked[Target]++, found->second.size() - 1)];
        handler = m_Handler;
    }
    THttpReply reply;
    if (handler && handler(Target, reply))
        return reply;
    reply.Status = 404;
    reply.Body = "No reply for " + Target + "\n";
    return reply;
}

void TTestHttpServer::Serve(TConnection& Connection)
{
    const int fd = Connection.Fd;
    std::function<std::unique_ptr<TServerStream>(int Fd)> makeSecure;
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        makeSecure = m_Secure;
    }
    const std::unique_ptr<TServerStream> secure = makeSecure ? makeSecure(fd) : nullptr;
    TPlainStream plain(fd);
    TServerStream& stream = secure ? *secure : plain;
    std::string buffer;
    bool reset = false;
    for (bool open = true, reused = false; open; reused = true) {
        // One request head.
        std::size_t headEnd;
        while ((headEnd = buffer.find("\r\n\r\n")) == std::string::npos) {
            char chunk[4096];
            if (!stream.Pending() && !WaitReadable(fd)) {
                open = false;
                break;
            }
            const std::size_t received = stream.Receive(chunk, sizeof chunk);
            if (received == 0) {
                open = false;
                break;
            }
            buffer.append(chunk, received);
        }
        if (!open)
            break;
        const std::string head = buffer.substr(0, headEnd + 2);
        buffer.erase(0, headEnd + 4);

        // "METHOD TARGET VERSION"
        const std::size_t lineEnd = head.find("\r\n");
        const std::string requestLine = head.substr(0, lineEnd);
        const std::size_t firstBlank = requestLine.find(' ');
        const std::size_t lastBlank = requestLine.rfind(' ');
        const std::string method = requestLine.substr(0, firstBlank);
        const std::string target = firstBlank != std::string::npos && lastBlank > firstBlank
                                       ? requestLine.substr(firstBlank + 1, lastBlank - firstBlank - 1)
                                       : std::string();
        {
            std::lock_guard<std::mutex> lock(m_Mutex);
            m_Targets.push_back(target);
            m_Heads.push_back(head);
        }
        m_RequestArrived.notify_all();
        std::uint16_t tunnel = 0;
        {
            std::lock_guard<std::mutex> lock(m_Mutex);
            tunnel = m_TunnelPort;
        }
        if (method == "CONNECT" && tunnel != 0) {
            Tunnel(fd, stream, tunnel);
            break;
        }

        THttpReply reply = FindReply(target);
        reset = reply.Reset;
        if (reply.Unanswered == THttpReply::TUnanswered::Always ||
            (reply.Unanswered == THttpReply::TUnanswered::Reused && reused))
            break;
        if (reply.HoldUntilRequests > 0 && !WaitForRequests(reply.HoldUntilRequests, reply.HoldLimit)) {
            reply.Status = 503;
            reply.Body = "held in vain\n";
        }
        if (reply.Delay.count() > 0 && !WaitDelay(reply.Delay))
            break;

        const bool closeAfter = reply.Close || HasHeaderValue(head, "Connection", "close");
        std::string response =
            "HTTP/1.1 " + std::to_string(reply.Status) + " " + ReasonPhrase(reply.Status) + "\r\n";
        bool hasLength = false;
        for (const auto& header : reply.Headers) {
            response += header.first + ": " + header.second + "\r\n";
            if (Lower(header.first) == "content-length")
                hasLength = true;
        }
        if (!hasLength)
            response += "Content-Length: " + std::to_string(reply.Body.size()) + "\r\n";
        if (closeAfter)
            response += "Connection: close\r\n";
        response += "\r\n";
        const std::size_t cut = std::min(reply.DropAfter, reply.StallAfter);
        const bool cutShort = cut < reply.Body.size();
        const std::size_t sent = method == "HEAD" ? 0 : cutShort ? cut : reply.Body.size();
        const bool drip = reply.DripEvery.count() > 0;
        if (!drip)
            response.append(reply.Body, 0, sent);
        bool whole = stream.Send(response.data(), response.size());
        for (std::size_t i = 0; drip && whole && i < sent; ++i)
            whole = WaitDelay(reply.DripEvery) && stream.Send(&reply.Body[i], 1);
        if (!whole || closeAfter)
            break;
        if (cutShort && reply.StallAfter < reply.Body.size()) {
            // Silent until the client gives up (or the server stops); what it sends meanwhile is ignored.
            char ignored[4096];
            while (WaitReadable(fd) && stream.Receive(ignored, sizeof ignored) > 0) {
            }
        }
        if (cutShort)
            break;
    }

    if (reset) {
        const linger abrupt{1, 0};
        setsockopt(fd, SOL_SOCKET, SO_LINGER, &abrupt, sizeof abrupt);
    }
    std::lock_guard<std::mutex> lock(m_Mutex);
    close(fd);
    Connection.Done = true;
}

} // namespace TestSupport

namespace TestSupport {

void TTestHttpServer::Tunnel(int Fd, TServerStream& Stream, std::uint16_t Port)
{
    const int far = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    Require(far >= 0, "socket");
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(Port);
    if (connect(far, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        const char refused[] = "HTTP/1.1 502 Bad Gateway\r\nContent-Length: 0\r\n\r\n";
        Stream.Send(refused, sizeof refused - 1);
        close(far);
        return;
    }
    const char established[] = "HTTP/1.1 200 Connection established\r\n\r\n";
    if (Stream.Send(established, sizeof established - 1)) {
        // The proxy's side is plain: its bytes pass as they are.
        pollfd fds[3] = {{Fd, POLLIN, 0}, {far, POLLIN, 0}, {m_WakeRead, POLLIN, 0}};
        for (bool open = true; open;) {
            if (poll(fds, 3, -1) < 0) {
                open = errno == EINTR;
                continue;
            }
            if (fds[2].revents != 0)
                break;
            for (int side = 0; side < 2 && open; ++side) {
                if (fds[side].revents == 0)
                    continue;
                char chunk[16384];
                const std::size_t received = ReceiveSome(fds[side].fd, chunk, sizeof chunk);
                open = received > 0 && SendAll(fds[1 - side].fd, chunk, received);
            }
        }
    }
    close(far);
}

} // namespace TestSupport
