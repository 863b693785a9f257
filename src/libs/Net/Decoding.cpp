#include "libs/Net/Decoding.h"

#include <brotli/decode.h>
#include <strings.h>
#include <zlib.h>
#include <zstd.h>

#include <algorithm>
#include <cctype>

const char kAcceptedEncodings[] = "deflate, gzip, br, zstd";

namespace {

/// The most decoded bytes given to the sink at once: a small compressed chunk may decode to very many.
constexpr size_t kDecodedPiece = 64 * 1024;

/// The encodings that Value names, in the order they were applied, lower case.
std::vector<std::string> EncodingsOf(const std::string& Value)
{
    std::vector<std::string> names;
    std::string name;
    for (size_t i = 0; i <= Value.size(); ++i) {
        const char c = i < Value.size() ? Value[i] : ',';
        if (c == ',') {
            if (!name.empty())
                names.push_back(name);
            name.clear();
        } else if (c != ' ' && c != '\t') {
            name += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        }
    }
    return names;
}

} // namespace

struct TBodyDecoder::TStage {
    explicit TStage(std::string Encoding) : Name(std::move(Encoding)) {}
    virtual ~TStage() = default;
    /// Decodes Data, giving the output to Sink; false on a corrupt stream (Error is set) or a refusal.
    virtual bool Feed(const unsigned char* Data, size_t Length, const TSink& Sink, std::string& Error) = 0;
    /// The stream reached its end, or nothing came.
    virtual bool Ended() const = 0;
    std::string Name; ///< as the header named it
};

namespace {

/// gzip, and deflate in zlib's format or raw (told by the first two bytes, as browsers tell them).
class TZlibStage : public TBodyDecoder::TStage {
  public:
    TZlibStage(std::string Encoding, bool Gzip) : TStage(std::move(Encoding)), m_Gzip(Gzip) {}
    ~TZlibStage() override
    {
        if (m_Initialised)
            inflateEnd(&m_Stream);
    }

    bool Feed(const unsigned char* Data, size_t Length, const TBodyDecoder::TSink& Sink,
              std::string& Error) override
    {
        m_Fed = m_Fed || Length > 0;
        if (!m_Initialised) {
            // A deflate body's first two bytes tell zlib's header from raw deflate data.
            m_Head.append(reinterpret_cast<const char*>(Data), Length);
            if (!m_Gzip && m_Head.size() < 2)
                return true;
            const auto b0 = static_cast<unsigned char>(m_Head[0]);
            const auto b1 = static_cast<unsigned char>(m_Head.size() > 1 ? m_Head[1] : 0);
            const bool zlibHeader = (b0 & 0x0F) == Z_DEFLATED && ((b0 << 8) | b1) % 31 == 0;
            const int windowBits = m_Gzip ? 16 + MAX_WBITS : zlibHeader ? MAX_WBITS : -MAX_WBITS;
            if (inflateInit2(&m_Stream, windowBits) != Z_OK) {
                Error = "zlib cannot start";
                return false;
            }
            m_Initialised = true;
            const std::string head = std::move(m_Head);
            return Inflate(reinterpret_cast<const unsigned char*>(head.data()), head.size(), Sink, Error);
        }
        return Inflate(Data, Length, Sink, Error);
    }
    bool Ended() const override { return m_Ended || !m_Fed; }

  private:
    bool Inflate(const unsigned char* Data, size_t Length, const TBodyDecoder::TSink& Sink,
                 std::string& Error)
    {
        // What follows the end of the stream is ignored.
        if (m_Ended)
            return true;
        unsigned char out[kDecodedPiece];
        m_Stream.next_in = const_cast<unsigned char*>(Data);
        m_Stream.avail_in = static_cast<uInt>(Length);
        do {
            m_Stream.next_out = out;
            m_Stream.avail_out = sizeof out;
            const int result = inflate(&m_Stream, Z_NO_FLUSH);
            if (result != Z_OK && result != Z_STREAM_END && result != Z_BUF_ERROR) {
                Error = m_Stream.msg != nullptr ? m_Stream.msg : "zlib error " + std::to_string(result);
                return false;
            }
            const size_t made = sizeof out - m_Stream.avail_out;
            if (made > 0 && !Sink(reinterpret_cast<const char*>(out), made))
                return false;
            if (result == Z_STREAM_END) {
                m_Ended = true;
                return true;
            }
            if (result == Z_BUF_ERROR)
                return true; // needs more input
        } while (m_Stream.avail_in > 0 || m_Stream.avail_out == 0);
        return true;
    }

    const bool m_Gzip;
    bool m_Initialised = false;
    bool m_Ended = false;
    bool m_Fed = false;
    std::string m_Head; ///< deflate: the first bytes while fewer than two came
    z_stream m_Stream{};
};

class TBrotliStage : public TBodyDecoder::TStage {
  public:
    explicit TBrotliStage(std::string Encoding)
        : TStage(std::move(Encoding)), m_State(BrotliDecoderCreateInstance(nullptr, nullptr, nullptr))
    {
    }
    ~TBrotliStage() override { BrotliDecoderDestroyInstance(m_State); }

    bool Feed(const unsigned char* Data, size_t Length, const TBodyDecoder::TSink& Sink,
              std::string& Error) override
    {
        m_Fed = m_Fed || Length > 0;
        if (m_State == nullptr) {
            Error = "brotli cannot start";
            return false;
        }
        size_t availableIn = Length;
        const uint8_t* nextIn = Data;
        while (!m_Ended) {
            uint8_t out[kDecodedPiece];
            size_t availableOut = sizeof out;
            uint8_t* nextOut = out;
            const BrotliDecoderResult result = BrotliDecoderDecompressStream(
                m_State, &availableIn, &nextIn, &availableOut, &nextOut, nullptr);
            if (result == BROTLI_DECODER_RESULT_ERROR) {
                Error = BrotliDecoderErrorString(BrotliDecoderGetErrorCode(m_State));
                return false;
            }
            const size_t made = sizeof out - availableOut;
            if (made > 0 && !Sink(reinterpret_cast<const char*>(out), made))
                return false;
            m_Ended = result == BROTLI_DECODER_RESULT_SUCCESS;
            if (result == BROTLI_DECODER_RESULT_NEEDS_MORE_INPUT)
                break;
        }
        return true;
    }
    bool Ended() const override { return m_Ended || !m_Fed; }

  private:
    BrotliDecoderState* m_State;
    bool m_Ended = false;
    bool m_Fed = false;
};

class TZstdStage : public TBodyDecoder::TStage {
  public:
    explicit TZstdStage(std::string Encoding) : TStage(std::move(Encoding)), m_Context(ZSTD_createDCtx()) {}
    ~TZstdStage() override { ZSTD_freeDCtx(m_Context); }

    bool Feed(const unsigned char* Data, size_t Length, const TBodyDecoder::TSink& Sink,
              std::string& Error) override
    {
        if (m_Context == nullptr) {
            Error = "zstd cannot start";
            return false;
        }
        ZSTD_inBuffer in{Data, Length, 0};
        bool full = false;
        while (in.pos < in.size || full) {
            char out[kDecodedPiece];
            ZSTD_outBuffer buffer{out, sizeof out, 0};
            const size_t result = ZSTD_decompressStream(m_Context, &buffer, &in);
            if (ZSTD_isError(result) != 0) {
                Error = ZSTD_getErrorName(result);
                return false;
            }
            if (buffer.pos > 0 && !Sink(out, buffer.pos))
                return false;
            // 0: a frame decoded and flushed whole; a further frame may follow.
            m_Ended = result == 0;
            full = buffer.pos == buffer.size;
        }
        return true;
    }
    bool Ended() const override { return m_Ended; }

  private:
    ZSTD_DCtx* m_Context;
    bool m_Ended = true; ///< nothing came, or the last frame ended
};

} // namespace

TBodyDecoder::TBodyDecoder(const std::string& ContentEncoding)
{
    std::vector<std::unique_ptr<TStage>> stages;
    for (const std::string& name : EncodingsOf(ContentEncoding)) {
        if (name == "gzip" || name == "x-gzip")
            stages.push_back(std::make_unique<TZlibStage>(name, true));
        else if (name == "deflate")
            stages.push_back(std::make_unique<TZlibStage>(name, false));
        else if (name == "br")
            stages.push_back(std::make_unique<TBrotliStage>(name));
        else if (name == "zstd")
            stages.push_back(std::make_unique<TZstdStage>(name));
        else if (name != "identity") {
            // An encoding not known: the body is shown as it came, as a browser shows it.
            stages.clear();
            break;
        }
    }
    // The last encoding applied is the first to undo.
    m_Stages.assign(std::make_move_iterator(stages.rbegin()), std::make_move_iterator(stages.rend()));
}

TBodyDecoder::~TBodyDecoder() = default;

bool TBodyDecoder::Feed(const char* Data, size_t Length, const TSink& Sink)
{
    m_Fed += Length;
    if (m_Stages.empty())
        return Length == 0 || Sink(Data, Length);
    // Each stage's output is the next one's input.
    std::vector<TSink> sinks(m_Stages.size());
    sinks.back() = Sink;
    for (size_t i = m_Stages.size() - 1; i > 0; --i)
        sinks[i - 1] = [this, i, &sinks](const char* Piece, size_t PieceLength) {
            return m_Stages[i]->Feed(reinterpret_cast<const unsigned char*>(Piece), PieceLength, sinks[i],
                                     m_Error);
        };
    return m_Stages[0]->Feed(reinterpret_cast<const unsigned char*>(Data), Length, sinks[0], m_Error) &&
           m_Error.empty();
}

bool TBodyDecoder::Finished() const
{
    return std::all_of(m_Stages.begin(), m_Stages.end(), [](const auto& stage) { return stage->Ended(); });
}

std::string TBodyDecoder::Encoding() const
{
    for (const auto& stage : m_Stages)
        if (!stage->Ended())
            return stage->Name;
    return m_Stages.empty() ? std::string() : m_Stages.front()->Name;
}
