// What the tests of the transfer engine share: a fixture with a real HTTP server on loopback and the
// engine, and large bodies to serve.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstddef>
#include <string>

#include "libs/Net/CURLTransfer.h"
#include "support/TestHttpServer.h"

namespace TestSupport {

/// Size pseudo-random bytes of every value, so that nothing may be translated on the way; the same Size
/// always gives the same body.
std::string MakeBody(std::size_t Size);

/// A whole JPEG as the file task judges pictures by their bytes: its signature, Filler and its end of
/// image; 6 bytes longer than Filler.
std::string MakePicture(const std::string& Filler);

/// Body compressed with Encoding, as a Content-Encoding names it: "gzip", "deflate" (zlib's format), "br" or
/// "zstd"; or "raw-deflate": deflate data without zlib's header.
std::string Compress(const std::string& Body, const std::string& Encoding);

/// The engine's waits in the tests: short, so that a test that runs into them need not wait long.
/// A Retry-After obtains a pause of a second at most.
inline const TTransferBounds kQuickBounds{std::chrono::milliseconds(50), std::chrono::milliseconds(100),
                                          std::chrono::milliseconds(20), std::chrono::seconds(1)};

/// A test with its own server and an engine with kQuickBounds. libcurl's proxy variables are cleared
/// before each test: they would send the loopback requests elsewhere; so are the variables that name a
/// bundle of certificates.
class TLoopbackTransferTest : public ::testing::Test {
  protected:
    void SetUp() override;

    TTestHttpServer m_Server;
    TDownloader m_Downloader{kQuickBounds};
};

} // namespace TestSupport
