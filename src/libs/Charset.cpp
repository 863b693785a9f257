#include "libs/Charset.h"

#include <iconv.h>
#include <strings.h>

#include <algorithm>
#include <cerrno>
#include <string_view>
#include <utility>
#include <vector>

#include "libs/strings.h"

namespace BrintLib {

namespace {

const iconv_t kInvalid = reinterpret_cast<iconv_t>(-1);

/// The byte order marks that tell a page's character set, with the name iconv knows it by.
struct TByteOrderMark {
    std::string_view Bytes;
    const char* Charset;
};
const TByteOrderMark kByteOrderMarks[] = {
    {"\xEF\xBB\xBF", "UTF-8"},
    {"\xFF\xFE", "UTF-16LE"},
    {"\xFE\xFF", "UTF-16BE"},
};

/// How far into a page its <meta> declaration of the character set is looked for, as browsers look.
constexpr size_t kMetaScanBytes = 1024;

const char kReplacementCharacter[] = "\xEF\xBF\xBD"; // U+FFFD in UTF-8

char LowerAscii(char Byte)
{
    return Byte >= 'A' && Byte <= 'Z' ? static_cast<char>(Byte - 'A' + 'a') : Byte;
}

/// The code point of the UTF-8 sequence at the start of Text and its length in bytes; length 0 when no
/// well-formed sequence begins there.
size_t DecodeUtf8(std::string_view Text, unsigned long& CodePoint)
{
    const auto lead = static_cast<unsigned char>(Text[0]);
    size_t length = 0;
    unsigned long minimum = 0;
    if (lead < 0x80) {
        CodePoint = lead;
        return 1;
    }
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        CodePoint = lead & 0x1F;
        minimum = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        CodePoint = lead & 0x0F;
        minimum = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        CodePoint = lead & 0x07;
        minimum = 0x10000;
    } else {
        return 0;
    }
    if (Text.size() < length)
        return 0;
    for (size_t i = 1; i < length; ++i) {
        const auto next = static_cast<unsigned char>(Text[i]);
        if ((next & 0xC0) != 0x80)
            return 0;
        CodePoint = (CodePoint << 6) | (next & 0x3F);
    }
    if (CodePoint < minimum || CodePoint > 0x10FFFF || (CodePoint >= 0xD800 && CodePoint <= 0xDFFF))
        return 0;
    return length;
}

/// The value of a character-set declaration whose name "charset" ends at At in Lower, up to Limit: blanks,
/// '=', blanks, an opening quote taken off, then up to a blank, a quote or one of Stops. Its start and
/// length; start npos when no '=' follows the name.
std::pair<size_t, size_t> CharsetValue(const std::string& Lower, size_t At, size_t Limit,
                                       std::string_view Stops)
{
    const auto skipBlanks = [&](size_t From) {
        while (From < Limit && IsHtmlSpace(Lower[From]))
            ++From;
        return From;
    };
    size_t value = skipBlanks(At);
    if (value == Limit || Lower[value] != '=')
        return {std::string::npos, 0};
    value = skipBlanks(value + 1);
    if (value < Limit && (Lower[value] == '"' || Lower[value] == '\''))
        ++value;
    size_t end = value;
    while (end < Limit && !IsHtmlSpace(Lower[end]) && Lower[end] != '"' && Lower[end] != '\'' &&
           Stops.find(Lower[end]) == std::string_view::npos)
        ++end;
    return {value, end - value};
}

/// The value of the charset parameter of a Content-Type header value ("text/html; charset=utf-8"), quotes
/// taken off; empty when it has none.
std::string ContentTypeCharset(const std::string& ContentType)
{
    std::string lower(ContentType);
    std::transform(lower.begin(), lower.end(), lower.begin(), LowerAscii);
    for (size_t at = lower.find(';'); at != std::string::npos; at = lower.find(';', at + 1)) {
        size_t name = at + 1;
        while (name < lower.size() && IsHtmlSpace(lower[name]))
            ++name;
        if (lower.compare(name, 7, "charset") != 0)
            continue;
        const auto [value, length] = CharsetValue(lower, name + 7, lower.size(), ";");
        if (value != std::string::npos)
            return ContentType.substr(value, length);
    }
    return std::string();
}

/// Where the values of the character-set declarations of the <meta> tags within the first Limit bytes of
/// Page stand ("<meta charset=utf-8>", "<meta http-equiv=Content-Type content="text/html; charset=utf-8">"),
/// one per tag that has one, in page order: their starts and lengths. With First, the first one alone.
std::vector<std::pair<size_t, size_t>> MetaCharsets(const std::string& Page, size_t Limit, bool First)
{
    std::vector<std::pair<size_t, size_t>> values;
    const size_t limit = std::min(Page.size(), Limit);
    std::string head(Page, 0, limit);
    std::transform(head.begin(), head.end(), head.begin(), LowerAscii);
    const std::string_view text(head);
    for (size_t meta = text.find("<meta"); meta != std::string::npos; meta = text.find("<meta", meta + 5)) {
        const size_t close = std::min(text.find('>', meta), text.size());
        const std::string_view tag = text.substr(0, close);
        for (size_t name = tag.find("charset", meta); name != std::string::npos;
             name = tag.find("charset", name + 7)) {
            const auto [value, length] = CharsetValue(head, name + 7, close, ";/");
            if (value != std::string::npos && length > 0) {
                values.emplace_back(value, length);
                break;
            }
        }
        if (First && !values.empty())
            break;
        // A tag is read up to its '>': a "<meta" before it is no tag of its own.
        meta = std::max(meta, close == text.size() ? text.size() : close - 4);
    }
    return values;
}

} // namespace

TIconv::TIconv(const char* To, const char* From) : m_Handle(iconv_open(To, From)) {}

TIconv::~TIconv()
{
    if (IsValid())
        iconv_close(static_cast<iconv_t>(m_Handle));
}

bool TIconv::IsValid() const
{
    return static_cast<iconv_t>(m_Handle) != kInvalid;
}

bool TIconv::Convert(std::string_view In, std::string& Out, const TOnFailure& OnFailure)
{
    Out.clear();
    if (!IsValid())
        return false;
    const auto handle = static_cast<iconv_t>(m_Handle);
    iconv(handle, nullptr, nullptr, nullptr, nullptr);
    char* src = const_cast<char*>(In.data());
    size_t srcLeft = In.size();
    char buffer[4096];
    while (srcLeft > 0) {
        char* dst = buffer;
        size_t dstLeft = sizeof buffer;
        const size_t rc = iconv(handle, &src, &srcLeft, &dst, &dstLeft);
        const int error = errno;
        Out.append(buffer, static_cast<size_t>(dst - buffer));
        if (rc != static_cast<size_t>(-1))
            break;
        if (error == E2BIG)
            continue;
        // EILSEQ or EINVAL: a sequence that cannot be converted, or one cut off at the end.
        const size_t skip = OnFailure ? OnFailure(std::string_view(src, srcLeft), Out) : 0;
        if (skip == 0)
            return false;
        const size_t passed = std::min(skip, srcLeft);
        src += passed;
        srcLeft -= passed;
    }
    char* dst = buffer;
    size_t dstLeft = sizeof buffer;
    iconv(handle, nullptr, nullptr, &dst, &dstLeft);
    Out.append(buffer, static_cast<size_t>(dst - buffer));
    return true;
}

bool TIconv::Convert(std::string_view In, std::string& Out, char Replacement)
{
    return Convert(In, Out, [Replacement](std::string_view, std::string& Output) {
        Output.push_back(Replacement);
        return size_t{1};
    });
}

bool IsKnownCharset(const std::string& Name)
{
    return !Name.empty() && TIconv("UTF-8", Name.c_str()).IsValid();
}

bool IsWindows1251(const std::string& Name)
{
    for (const char* name : {"windows-1251", "cp1251", "x-cp1251"}) {
        if (strcasecmp(Name.c_str(), name) == 0)
            return true;
    }
    return false;
}

bool Cp1251ToUtf8(const std::string& Text, std::string& Result)
{
    return TIconv("UTF-8", "CP1251").Convert(Text, Result);
}

bool ToCp1251(const std::string& Charset, std::string& Text)
{
    std::string utf8;
    const bool fromUtf8 =
        strcasecmp(Charset.c_str(), "UTF-8") == 0 || strcasecmp(Charset.c_str(), "UTF8") == 0;
    if (!fromUtf8) {
        // Another character set goes through UTF-8; a malformed sequence becomes U+FFFD.
        TIconv toUtf8("UTF-8", Charset.c_str());
        if (!toUtf8.Convert(Text, utf8, [](std::string_view, std::string& Out) {
                Out += kReplacementCharacter;
                return size_t{1};
            }))
            return false;
    }
    std::string result;
    TIconv toCp1251("CP1251", "UTF-8");
    const bool converted =
        toCp1251.Convert(fromUtf8 ? Text : utf8, result, [](std::string_view Rest, std::string& Out) {
            unsigned long codePoint = 0;
            size_t length = DecodeUtf8(Rest, codePoint);
            if (length == 0) {
                codePoint = 0xFFFD;
                length = 1;
            }
            Out += "&#" + std::to_string(codePoint) + ";";
            return length;
        });
    if (!converted)
        return false;
    Text.swap(result);
    return true;
}

std::string PageToCp1251(std::string& Page, const std::string& ContentType)
{
    std::string charset;
    size_t markLength = 0;
    for (const TByteOrderMark& mark : kByteOrderMarks) {
        if (Page.compare(0, mark.Bytes.size(), mark.Bytes) == 0) {
            charset = mark.Charset;
            markLength = mark.Bytes.size();
            break;
        }
    }
    if (charset.empty())
        charset = ContentTypeCharset(ContentType);
    if (!IsKnownCharset(charset)) {
        const auto meta = MetaCharsets(Page, kMetaScanBytes, true);
        if (!meta.empty())
            charset = Page.substr(meta[0].first, meta[0].second);
    }
    if (!IsKnownCharset(charset) || IsWindows1251(charset))
        return std::string();
    // Every declaration of the page, wherever it stands, says what the page now is.
    std::string text;
    text.reserve(Page.size());
    size_t copied = markLength;
    for (const auto& [value, length] : MetaCharsets(Page, Page.size(), false)) {
        if (value < copied)
            continue;
        text.append(Page, copied, value - copied);
        text += "windows-1251";
        copied = value + length;
    }
    text.append(Page, copied, std::string::npos);
    if (!ToCp1251(charset, text))
        return std::string();
    Page.swap(text);
    return charset;
}

} // namespace BrintLib
