// The transfer engine's libcurl session: the multi handle with its connection limits, the TLS sessions
// shared by every transfer, the options that every transfer's easy handle starts from, and the wait on the
// sockets. What the replies tell of the server (HTTP/2, a proxy's tunnel) decides how many transfers may be
// in flight at once.
#pragma once

#include <curl/curl.h>

#include <chrono>
#include <cstddef>
#include <string>

class TCurlSession {
  public:
    /// Connections: N, the connections to one host and in all (at least 1, at most the variable's bound).
    /// Streams: the transfers at most on one connection that multiplexes.
    TCurlSession(size_t Connections, size_t Streams);
    ~TCurlSession();
    TCurlSession(const TCurlSession&) = delete;
    TCurlSession& operator=(const TCurlSession&) = delete;

    CURLM* Multi() const { return m_Multi; }
    size_t Connections() const { return m_Connections; }
    /// The transfers that may be in flight at once: N, or N connections' streams (at most 256) when the
    /// server last replied over a connection that multiplexes (one connection's through a proxy's tunnel);
    /// 1 when N is 1.
    size_t Capacity() const;

    /// A new easy handle with the options that every transfer shares and Url; null when libcurl refuses
    /// the URL (Refusal then holds libcurl's code). The caller owns it (curl_easy_cleanup).
    CURL* NewEasy(const std::string& Url, CURLcode& Refusal) const;
    /// Learns from the transfer of Easy, just ended, whether the server multiplexes and whether through a
    /// proxy's tunnel.
    void Learn(CURL* Easy);

    /// Waits on the sockets of the transfers in flight and on ExtraFd (when not negative) for reading, at
    /// most Longest or libcurl's next timer; returns what select() returns.
    int Wait(std::chrono::milliseconds Longest, int ExtraFd);

  private:
    const size_t m_Connections;
    const size_t m_Streams;
    const std::string m_CertificateBundle; ///< CURLOPT_CAINFO when not empty
    /// The last reply came over HTTP/2: the server multiplexes, and Capacity() counts the streams.
    bool m_Multiplexing = false;
    /// Replies came over HTTP/2 through a proxy's CONNECT tunnel: one connection to a host at most, whose
    /// streams are all that run (libcurl 7.88 fails transfers that it multiplexes onto a second tunnel to
    /// the host while that is being made: "send: no filter connected").
    bool m_Tunnelled = false;
    CURLM* m_Multi = nullptr;
    /// What the easy handles share beyond the multi handle's caches of connections and names: TLS sessions.
    CURLSH* m_Share = nullptr;
    /// The options that every transfer shares; each transfer's handle is a copy.
    CURL* m_Template = nullptr;
};
