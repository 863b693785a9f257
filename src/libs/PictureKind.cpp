#include "libs/PictureKind.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>

#include "libs/FileSystem.h"
#include "libs/strings.h"

namespace BrintLib {

namespace {

bool StartsWith(std::string_view Text, std::string_view Prefix)
{
    return Text.substr(0, Prefix.size()) == Prefix;
}

/// Whether Text could still start with Prefix once more bytes come: it is a beginning of Prefix.
bool IsStartOf(std::string_view Text, std::string_view Prefix)
{
    return Text.size() < Prefix.size() && Prefix.substr(0, Text.size()) == Text;
}

uint32_t LittleEndian32(std::string_view Bytes, size_t At)
{
    uint32_t value = 0;
    for (size_t i = 4; i-- > 0;)
        value = value << 8 | static_cast<unsigned char>(Bytes[At + i]);
    return value;
}

uint32_t BigEndian32(std::string_view Bytes, size_t At)
{
    uint32_t value = 0;
    for (size_t i = 0; i < 4; ++i)
        value = value << 8 | static_cast<unsigned char>(Bytes[At + i]);
    return value;
}

std::string_view SkipBlanks(std::string_view Text)
{
    size_t at = 0;
    while (at < Text.size() && IsHtmlSpace(Text[at]))
        ++at;
    return Text.substr(at);
}

std::string_view SkipByteOrderMark(std::string_view Text)
{
    return StartsWith(Text, "\xEF\xBB\xBF") ? Text.substr(3) : Text;
}

/// The end of the markup declaration at the start of Text ("<!DOCTYPE ...>", its internal subset in
/// brackets passed over); npos when it does not end within Text.
size_t DeclarationEnd(std::string_view Text)
{
    int depth = 0;
    for (size_t at = 0; at < Text.size(); ++at) {
        if (Text[at] == '[')
            ++depth;
        else if (Text[at] == ']' && depth > 0)
            --depth;
        else if (Text[at] == '>' && depth == 0)
            return at + 1;
    }
    return std::string_view::npos;
}

/// Lower case of Text's first Count bytes (fewer when it is shorter).
std::string LowerHead(std::string_view Text, size_t Count)
{
    std::string lower(Text.substr(0, Count));
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return lower;
}

/// SVG markup: the first element is <svg> after what may stand before it; Unknown while the preamble
/// has not ended within Head.
TPictureKind SvgKindOf(std::string_view Head)
{
    std::string_view text = SkipByteOrderMark(Head);
    for (;;) {
        text = SkipBlanks(text);
        if (text.empty() || IsStartOf(text, "<?") || IsStartOf(text, "<!") || text == "<")
            return TPictureKind::Unknown;
        if (StartsWith(text, "<?")) {
            const size_t end = text.find("?>");
            if (end == std::string_view::npos)
                return TPictureKind::Unknown;
            text = text.substr(end + 2);
        } else if (StartsWith(text, "<!--")) {
            const size_t end = text.find("-->", 4);
            if (end == std::string_view::npos)
                return TPictureKind::Unknown;
            text = text.substr(end + 3);
        } else if (StartsWith(text, "<!")) {
            const size_t end = DeclarationEnd(text);
            if (end == std::string_view::npos)
                return TPictureKind::Unknown;
            text = text.substr(end);
        } else {
            break;
        }
    }
    if (IsStartOf(text, "<svg "))
        return TPictureKind::Unknown;
    if (!StartsWith(text, "<svg"))
        return TPictureKind::None;
    const char next = text[4];
    return IsHtmlSpace(next) || next == '>' || next == '/' ? TPictureKind::Svg : TPictureKind::None;
}

/// AVIF: an ISO media file whose ftyp box names avif or avis, as its major brand or a compatible one.
TPictureKind AvifKindOf(std::string_view Head)
{
    if (Head.size() < 12)
        return TPictureKind::Unknown;
    if (Head.substr(4, 4) != "ftyp")
        return TPictureKind::None;
    const size_t box = std::min<size_t>(BigEndian32(Head, 0), Head.size());
    for (size_t at = 8; at + 4 <= box; at += at == 8 ? 8 : 4) {
        const std::string_view brand = Head.substr(at, 4);
        if (brand == "avif" || brand == "avis")
            return TPictureKind::Avif;
    }
    return TPictureKind::None;
}

} // namespace

TPictureKind PictureKindOf(std::string_view Head)
{
    struct TSignature {
        std::string_view Bytes;
        TPictureKind Kind;
    };
    static const TSignature kSignatures[] = {
        {std::string_view("\xFF\xD8\xFF", 3), TPictureKind::Jpeg},
        {std::string_view("\x89PNG\r\n\x1A\n", 8), TPictureKind::Png},
        {"GIF87a", TPictureKind::Gif},
        {"GIF89a", TPictureKind::Gif},
        {std::string_view("\0\0\1\0", 4), TPictureKind::Ico},
        {std::string_view("\0\0\2\0", 4), TPictureKind::Ico}, // a cursor, shown as an icon
    };
    bool couldBe = false;
    for (const TSignature& signature : kSignatures) {
        if (StartsWith(Head, signature.Bytes))
            return signature.Kind;
        couldBe = couldBe || IsStartOf(Head, signature.Bytes);
    }
    // RIFF, the file's size, WEBP, then its first chunk's name (VP8, VP8L or VP8X).
    if (StartsWith(Head, "RIFF")) {
        if (Head.size() < 15)
            couldBe = true;
        else if (Head.substr(8, 7) == "WEBPVP8")
            return TPictureKind::WebP;
    }
    // BM, the file's size, two reserved words, the pixels' offset, then the size of a known info header.
    if (StartsWith(Head, "BM")) {
        if (Head.size() < 18) {
            couldBe = true;
        } else {
            const uint32_t info = LittleEndian32(Head, 14);
            if (info == 12 || info == 16 || info == 40 || info == 52 || info == 56 || info == 64 ||
                info == 108 || info == 124)
                return TPictureKind::Bmp;
        }
    }
    const TPictureKind avif = AvifKindOf(Head);
    if (avif == TPictureKind::Avif)
        return avif;
    couldBe = couldBe || (avif == TPictureKind::Unknown && (Head.size() < 8 || Head.substr(4, 4) == "ftyp"));
    const TPictureKind svg = SvgKindOf(Head);
    if (svg == TPictureKind::Svg)
        return svg;
    couldBe = couldBe || svg == TPictureKind::Unknown;
    return couldBe && Head.size() < kMaxPictureHead ? TPictureKind::Unknown : TPictureKind::None;
}

bool IsWholePicture(TPictureKind Kind, std::string_view Head, std::string_view Tail, uint64_t Size)
{
    switch (Kind) {
    case TPictureKind::Jpeg:
        // Some cameras and editors append data after the end of image.
        return Tail.find("\xFF\xD9") != std::string_view::npos;
    case TPictureKind::Png:
        return Tail.find("IEND\xAE\x42\x60\x82") != std::string_view::npos;
    case TPictureKind::Gif:
        return !Tail.empty() && Tail.back() == '\x3B';
    case TPictureKind::WebP:
        return Head.size() >= 8 && LittleEndian32(Head, 4) + uint64_t{8} <= Size;
    case TPictureKind::Bmp:
        return Head.size() >= 6 && LittleEndian32(Head, 2) <= Size;
    case TPictureKind::Svg:
        return Tail.find("svg>") != std::string_view::npos;
    case TPictureKind::Ico:
    case TPictureKind::Avif:
        return true;
    case TPictureKind::None:
    case TPictureKind::Unknown:
        break;
    }
    return false;
}

namespace {

/// What the program says and writes of each kind of picture.
struct TPictureKindFacts {
    TPictureKind Kind;
    const char* Name;
    const char* MediaType;
    const char* Extension;
};

constexpr TPictureKindFacts kPictureKindFacts[] = {
    {TPictureKind::Jpeg, "JPEG", "image/jpeg", "jpg"},  {TPictureKind::Png, "PNG", "image/png", "png"},
    {TPictureKind::Gif, "GIF", "image/gif", "gif"},     {TPictureKind::WebP, "WebP", "image/webp", "webp"},
    {TPictureKind::Bmp, "BMP", "image/bmp", "bmp"},     {TPictureKind::Ico, "ICO", "image/x-icon", "ico"},
    {TPictureKind::Avif, "AVIF", "image/avif", "avif"}, {TPictureKind::Svg, "SVG", "image/svg+xml", "svg"},
};

/// The facts of Kind; all empty for None and Unknown.
const TPictureKindFacts& FactsOf(TPictureKind Kind)
{
    static constexpr TPictureKindFacts kNone{TPictureKind::None, "", "", ""};
    for (const TPictureKindFacts& facts : kPictureKindFacts)
        if (facts.Kind == Kind)
            return facts;
    return kNone;
}

} // namespace

const char* PictureKindName(TPictureKind Kind)
{
    return FactsOf(Kind).Name;
}

const char* PictureMediaType(TPictureKind Kind)
{
    return FactsOf(Kind).MediaType;
}

const char* PictureExtension(TPictureKind Kind)
{
    return FactsOf(Kind).Extension;
}

std::string WhatCameInstead(std::string_view Head)
{
    if (Head.empty())
        return "пришёл пустой ответ";
    const std::string_view text = SkipBlanks(SkipByteOrderMark(Head));
    const std::string lower = LowerHead(text, kPictureHeadBytes);
    if (StartsWith(lower, "<?xml"))
        return lower.find("http://www.w3.org/1999/xhtml") != std::string::npos ||
                       lower.find("<!doctype html") != std::string::npos
                   ? "пришла страница XHTML"
                   : "пришёл документ XML";
    if (StartsWith(lower, "<"))
        return "пришла страница HTML";
    if (StartsWith(lower, "{") || StartsWith(lower, "["))
        return "пришли данные JSON";
    const bool textLike = std::all_of(Head.begin(), Head.end(), [](char c) {
        const auto byte = static_cast<unsigned char>(c);
        return byte >= 0x20 || IsHtmlSpace(c);
    });
    return textLike ? "пришёл текст" : "пришли данные неизвестного вида";
}

bool IsWholePictureFile(const std::string& Path)
{
    const int fd = open(NativePath(Path).c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0)
        return false;
    struct TCloser {
        int Fd;
        ~TCloser() { close(Fd); }
    } const closer{fd};
    struct stat status {};
    if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode))
        return false;
    const auto size = static_cast<uint64_t>(status.st_size);
    const auto readAt = [fd](uint64_t Offset, size_t Count, std::string& Bytes) {
        Bytes.resize(Count);
        size_t got = 0;
        while (got < Count) {
            const ssize_t n = pread(fd, &Bytes[got], Count - got, static_cast<off_t>(Offset + got));
            if (n <= 0)
                break;
            got += static_cast<size_t>(n);
        }
        Bytes.resize(got);
        return got == Count;
    };
    // Most pictures tell their kind by their first bytes; an SVG's preamble may need more of them.
    std::string head;
    TPictureKind kind = TPictureKind::Unknown;
    for (const size_t count : {kPictureHeadBytes, kMaxPictureHead}) {
        if (!readAt(0, static_cast<size_t>(std::min<uint64_t>(size, count)), head))
            return false;
        kind = PictureKindOf(head);
        if (kind != TPictureKind::Unknown || head.size() == size)
            break;
    }
    if (kind == TPictureKind::None || kind == TPictureKind::Unknown)
        return false;
    const uint64_t tailSize = std::min<uint64_t>(size, kPictureTailBytes);
    std::string tail;
    return readAt(size - tailSize, static_cast<size_t>(tailSize), tail) &&
           IsWholePicture(kind, head, tail, size);
}

} // namespace BrintLib
