// A reply's body decoded as its Content-Encoding says, by the engine itself rather than libcurl: a
// compressed body is whole only when its decoder reached the compressed stream's end, which libcurl does not
// check (a stream cut short while the HTTP framing is complete passes there).
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <vector>

/// The value of Accept-Encoding that the engine sends: every encoding that TBodyDecoder decodes.
extern const char kAcceptedEncodings[];

/// Decodes one body. The encodings it knows are gzip (x-gzip), deflate (zlib's format, or raw deflate as
/// some servers send it), br and zstd, and several of them in the order applied ("gzip, br"). identity,
/// and an encoding it does not know, pass the bytes through as they came, as a browser shows them. What
/// follows the end of a complete gzip member is ignored, as browsers do.
class TBodyDecoder {
  public:
    /// ContentEncoding: the header's value; empty: none.
    explicit TBodyDecoder(const std::string& ContentEncoding);
    ~TBodyDecoder();
    TBodyDecoder(const TBodyDecoder&) = delete;
    TBodyDecoder& operator=(const TBodyDecoder&) = delete;

    /// Takes decoded bytes, at most 64 KB at a time; false stops decoding.
    using TSink = std::function<bool(const char* Data, size_t Length)>;

    /// Decodes the next Length bytes of the body and gives what they decode to to Sink. False when the
    /// stream is corrupt (Error() then tells why) or Sink returned false; either way nothing more should be
    /// fed.
    bool Feed(const char* Data, size_t Length, const TSink& Sink);
    /// Whether the body is whole: every compressed stream reached its end (or nothing came at all).
    bool Finished() const;
    /// Whether the bytes pass through as they come (no encoding, identity, or one not known).
    bool PassesThrough() const { return m_Stages.empty(); }
    /// The encoding that decoding failed in, or that did not reach its end, as the header named it.
    std::string Encoding() const;
    /// Why decoding failed; empty while it has not.
    const std::string& Error() const { return m_Error; }
    /// The bytes of the body fed so far.
    size_t Fed() const { return m_Fed; }

    /// One decoder of one encoding.
    struct TStage;

  private:
    std::vector<std::unique_ptr<TStage>> m_Stages; ///< in the order they decode: the last applied first
    std::string m_Error;
    size_t m_Fed = 0;
};
