// The test server's TLS, on OpenSSL.

#include <openssl/ssl.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>

#include "TestHttpServer.h"

namespace TestSupport {

namespace {

/// A connection that has been through the TLS handshake (or failed it: then it receives nothing).
class TTlsStream : public TServerStream {
  public:
    TTlsStream(const std::shared_ptr<SSL_CTX>& Context, int Fd)
        : m_Context(Context), m_Ssl(SSL_new(Context.get()))
    {
        if (m_Ssl == nullptr)
            return;
        SSL_set_fd(m_Ssl.get(), Fd);
        // A client that refuses the certificate ends the connection here.
        if (SSL_accept(m_Ssl.get()) != 1)
            m_Ssl.reset();
    }
    bool Pending() const override { return m_Ssl != nullptr && SSL_pending(m_Ssl.get()) > 0; }
    std::size_t Receive(char* Data, std::size_t Length) override
    {
        const int received = m_Ssl != nullptr ? SSL_read(m_Ssl.get(), Data, static_cast<int>(Length)) : 0;
        return received > 0 ? static_cast<std::size_t>(received) : 0;
    }
    bool Send(const char* Data, std::size_t Length) override
    {
        return m_Ssl != nullptr &&
               (Length == 0 || SSL_write(m_Ssl.get(), Data, static_cast<int>(Length)) > 0);
    }

  private:
    struct TFree {
        void operator()(SSL* Ssl) const { SSL_free(Ssl); }
    };
    std::shared_ptr<SSL_CTX> m_Context;
    std::unique_ptr<SSL, TFree> m_Ssl;
};

} // namespace

void TTestHttpServer::UseTls(const std::string& CertificateFile, const std::string& KeyFile)
{
    const std::shared_ptr<SSL_CTX> context(SSL_CTX_new(TLS_server_method()), SSL_CTX_free);
    if (context == nullptr ||
        SSL_CTX_use_certificate_chain_file(context.get(), CertificateFile.c_str()) != 1 ||
        SSL_CTX_use_PrivateKey_file(context.get(), KeyFile.c_str(), SSL_FILETYPE_PEM) != 1) {
        std::fprintf(stderr, "TTestHttpServer: OpenSSL refuses %s\n", CertificateFile.c_str());
        std::abort();
    }
    std::lock_guard<std::mutex> lock(m_Mutex);
    m_Secure = [context](int Fd) { return std::make_unique<TTlsStream>(context, Fd); };
}

} // namespace TestSupport
