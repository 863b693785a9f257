#include "LoopbackTransfer.h"

#include <brotli/encode.h>
#include <zlib.h>
#include <zstd.h>

#include <cstdlib>
#include <stdexcept>

namespace TestSupport {

std::string MakeBody(std::size_t Size)
{
    std::string body(Size, '\0');
    unsigned state = 12345;
    for (char& c : body) {
        state = state * 1103515245u + 12345u;
        c = static_cast<char>(state >> 16);
    }
    return body;
}

std::string MakePicture(const std::string& Filler)
{
    return "\xFF\xD8\xFF\xE0" + Filler + "\xFF\xD9";
}

std::string Compress(const std::string& Body, const std::string& Encoding)
{
    const auto* input = reinterpret_cast<const unsigned char*>(Body.data());
    if (Encoding == "br") {
        std::string out(BrotliEncoderMaxCompressedSize(Body.size()), '\0');
        size_t length = out.size();
        if (!BrotliEncoderCompress(BROTLI_DEFAULT_QUALITY, BROTLI_DEFAULT_WINDOW, BROTLI_MODE_GENERIC,
                                   Body.size(), input, &length, reinterpret_cast<unsigned char*>(&out[0])))
            throw std::runtime_error("brotli failed");
        out.resize(length);
        return out;
    }
    if (Encoding == "zstd") {
        std::string out(ZSTD_compressBound(Body.size()), '\0');
        const size_t length = ZSTD_compress(&out[0], out.size(), Body.data(), Body.size(), 1);
        if (ZSTD_isError(length) != 0)
            throw std::runtime_error("zstd failed");
        out.resize(length);
        return out;
    }
    z_stream stream{};
    // 15: zlib's header and checksum; 16 + 15: gzip's; -15: none.
    const int windowBits = Encoding == "gzip" ? 16 + 15 : Encoding == "raw-deflate" ? -15 : 15;
    if (deflateInit2(&stream, Z_BEST_SPEED, Z_DEFLATED, windowBits, 8, Z_DEFAULT_STRATEGY) != Z_OK)
        throw std::runtime_error("deflateInit2 failed");
    std::string out(deflateBound(&stream, Body.size()), '\0');
    stream.next_in = const_cast<unsigned char*>(input);
    stream.avail_in = static_cast<uInt>(Body.size());
    stream.next_out = reinterpret_cast<unsigned char*>(&out[0]);
    stream.avail_out = static_cast<uInt>(out.size());
    const int result = deflate(&stream, Z_FINISH);
    out.resize(stream.total_out);
    deflateEnd(&stream);
    if (result != Z_STREAM_END)
        throw std::runtime_error("deflate failed");
    return out;
}

void TLoopbackTransferTest::SetUp()
{
    for (const char* name : {"http_proxy", "https_proxy", "HTTPS_PROXY", "no_proxy", "NO_PROXY", "all_proxy",
                             "ALL_PROXY", "SSL_CERT_FILE", "CURL_CA_BUNDLE"})
        unsetenv(name);
}

} // namespace TestSupport
