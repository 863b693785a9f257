#include "libs/Url.h"

#include <curl/curl.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <utility>

#include "libs/Charset.h"

namespace BrintLib {

namespace {

/// Lowers the capital ASCII letters of Text from From up to To.
void LowerCaseAscii(std::string& Text, size_t From = 0, size_t To = std::string::npos)
{
    for (size_t i = From; i < std::min(To, Text.size()); ++i) {
        if (Text[i] >= 'A' && Text[i] <= 'Z')
            Text[i] = static_cast<char>(Text[i] - 'A' + 'a');
    }
}

/// A text that libcurl allocated, freed with curl_free.
struct TCurlFree {
    void operator()(char* Text) const { curl_free(Text); }
};
using TCurlText = std::unique_ptr<char, TCurlFree>;

struct TUrlCleanup {
    void operator()(CURLU* Handle) const { curl_url_cleanup(Handle); }
};
using TUrlHandle = std::unique_ptr<CURLU, TUrlCleanup>;

/// Appends Part of Handle's address to Out; false, Out unchanged, when libcurl has none to give.
bool AppendPart(CURLU* Handle, CURLUPart Part, std::string& Out)
{
    char* text = nullptr;
    if (curl_url_get(Handle, Part, &text, 0) != CURLUE_OK || text == nullptr)
        return false;
    const TCurlText owner(text);
    Out += text;
    return true;
}

/// Part of Handle's address; false, Result unchanged, when libcurl has none to give.
bool GetPart(CURLU* Handle, CURLUPart Part, std::string& Result)
{
    std::string text;
    if (!AppendPart(Handle, Part, text))
        return false;
    Result = std::move(text);
    return true;
}

bool IsWebScheme(CURLU* Handle)
{
    std::string scheme;
    return GetPart(Handle, CURLUPART_SCHEME, scheme) && (scheme == "http" || scheme == "https");
}

/// Lowers the capital ASCII letters of Handle's host name, as browsers do, so that one address is always
/// written one way. False when libcurl refuses the host so written.
bool LowerHost(CURLU* Handle)
{
    std::string host;
    if (!GetPart(Handle, CURLUPART_HOST, host))
        return true;
    if (std::none_of(host.begin(), host.end(), [](char Byte) { return Byte >= 'A' && Byte <= 'Z'; }))
        return true;
    LowerCaseAscii(host);
    return curl_url_set(Handle, CURLUPART_HOST, host.c_str(), 0) == CURLUE_OK;
}

/// The ASCII bytes that a browser percent-encodes in the path (Query false) or in the query (Query true)
/// of a web address: control bytes, the blank, quotes, angle brackets and a few more.
constexpr bool MustEncode(unsigned char Byte, bool Query)
{
    if (Byte <= 0x20 || Byte >= 0x7F)
        return true;
    switch (Byte) {
    case '"':
    case '<':
    case '>':
        return true;
    case '`':
    case '{':
    case '}':
        return !Query;
    case '\'':
        return Query;
    default:
        return false;
    }
}

void AppendEncoded(std::string& Out, unsigned char Byte)
{
    static const char kHex[] = "0123456789ABCDEF";
    Out += '%';
    Out += kHex[Byte >> 4];
    Out += kHex[Byte & 0x0F];
}

/// The UTF-8 bytes of CodePoint.
std::string Utf8(char32_t CodePoint)
{
    std::string bytes;
    if (CodePoint < 0x80) {
        bytes += static_cast<char>(CodePoint);
    } else if (CodePoint < 0x800) {
        bytes += static_cast<char>(0xC0 | (CodePoint >> 6));
        bytes += static_cast<char>(0x80 | (CodePoint & 0x3F));
    } else if (CodePoint < 0x10000) {
        bytes += static_cast<char>(0xE0 | (CodePoint >> 12));
        bytes += static_cast<char>(0x80 | ((CodePoint >> 6) & 0x3F));
        bytes += static_cast<char>(0x80 | (CodePoint & 0x3F));
    } else {
        bytes += static_cast<char>(0xF0 | (CodePoint >> 18));
        bytes += static_cast<char>(0x80 | ((CodePoint >> 12) & 0x3F));
        bytes += static_cast<char>(0x80 | ((CodePoint >> 6) & 0x3F));
        bytes += static_cast<char>(0x80 | (CodePoint & 0x3F));
    }
    return bytes;
}

/// Whether Byte goes into a request as it stands wherever it is in an address: printable ASCII that is
/// encoded neither in the path nor in the query, and neither '#', which begins the fragment, nor '\\',
/// which counts as a slash in the path.
bool IsPlainByte(unsigned char Byte)
{
    // One look-up per byte: every address of a page passes here.
    static constexpr std::array<bool, 256> kPlain = [] {
        std::array<bool, 256> plain{};
        for (unsigned byte = 0; byte < plain.size(); ++byte) {
            const auto c = static_cast<unsigned char>(byte);
            plain[byte] = !MustEncode(c, false) && !MustEncode(c, true) && c != '#' && c != '\\';
        }
        return plain;
    }();
    return kPlain[Byte];
}

/// Whether Reference goes into a request as it stands: EncodeReference would give it unchanged. Most
/// addresses of a page do.
bool IsPlainReference(const std::string& Reference)
{
    return std::all_of(Reference.begin(), Reference.end(),
                       [](char Byte) { return IsPlainByte(static_cast<unsigned char>(Byte)); });
}

/// Reference as a browser puts it into a request: blanks and control bytes around it dropped, tabs and line
/// ends inside it removed, the fragment left out, the bytes that may not stand in an address
/// percent-encoded, a backslash before the query taken as a slash. The query's bytes beyond ASCII are sent in
/// QueryCharset (one that iconv knows, a character it cannot hold as '?'), empty for windows-1251.
bool EncodeReference(const std::string& Reference, std::string& Result, const std::string& QueryCharset)
{
    if (IsPlainReference(Reference)) {
        Result = Reference;
        return true;
    }
    size_t first = 0;
    size_t last = Reference.size();
    while (first < last && static_cast<unsigned char>(Reference[first]) <= 0x20)
        ++first;
    while (last > first && static_cast<unsigned char>(Reference[last - 1]) <= 0x20)
        --last;
    std::string text;
    text.reserve(last - first);
    for (size_t i = first; i < last && Reference[i] != '#'; ++i) {
        if (Reference[i] != '\t' && Reference[i] != '\n' && Reference[i] != '\r')
            text += Reference[i];
    }

    Result.clear();
    Result.reserve(text.size());
    const size_t query = text.find('?');
    const size_t pathEnd = query == std::string::npos ? text.size() : query;
    for (size_t i = 0; i < pathEnd; ++i) {
        const unsigned char byte = static_cast<unsigned char>(text[i]);
        if (byte >= 0x80) {
            size_t end = i;
            while (end < pathEnd && static_cast<unsigned char>(text[end]) >= 0x80)
                ++end;
            std::string utf8;
            if (!Cp1251ToUtf8(text.substr(i, end - i), utf8))
                return false;
            for (const char c : utf8)
                AppendEncoded(Result, static_cast<unsigned char>(c));
            i = end - 1;
        } else if (byte == '\\') {
            Result += '/';
        } else if (MustEncode(byte, false)) {
            AppendEncoded(Result, byte);
        } else {
            Result += static_cast<char>(byte);
        }
    }
    for (size_t i = pathEnd; i < text.size(); ++i) {
        const unsigned char byte = static_cast<unsigned char>(text[i]);
        if (byte >= 0x80 && !QueryCharset.empty()) {
            size_t end = i;
            while (end < text.size() && static_cast<unsigned char>(text[end]) >= 0x80)
                ++end;
            std::string converted;
            if (!TIconv(QueryCharset.c_str(), "CP1251").Convert(text.substr(i, end - i), converted, '?'))
                return false;
            for (const char c : converted)
                AppendEncoded(Result, static_cast<unsigned char>(c));
            i = end - 1;
        } else if (i > pathEnd && MustEncode(byte, true))
            AppendEncoded(Result, byte);
        else
            Result += static_cast<char>(byte);
    }
    return true;
}

/// Whether Encoded (made by EncodeReference) is a root-relative address ("/a/b?c", not "//host") whose path
/// has no dot segment ("." or "..") and no percent-encoded byte. Resolving such an address changes nothing
/// of the page's address but its path and query, which become Encoded's own as they stand.
bool IsPlainRootPath(const std::string& Encoded)
{
    if (Encoded.empty() || Encoded[0] != '/' || (Encoded.size() > 1 && Encoded[1] == '/') ||
        Encoded.find('%') != std::string::npos)
        return false;
    const size_t pathEnd = std::min(Encoded.find('?'), Encoded.size());
    // A dot segment begins after a slash with one dot or two, and ends at a slash or at the path's end.
    for (size_t dot = Encoded.find('.'); dot < pathEnd; dot = Encoded.find('.', dot + 1)) {
        if (Encoded[dot - 1] != '/')
            continue;
        const size_t end = dot + 1 < pathEnd && Encoded[dot + 1] == '.' ? dot + 2 : dot + 1;
        if (end == pathEnd || Encoded[end] == '/')
            return false;
    }
    return true;
}

/// Resolves Encoded, a reference as EncodeReference gives it, when it is a plain root-relative address
/// (IsPlainRootPath), on Root, a copy of the page's address: Result is the address, empty when libcurl
/// refuses it, and returns true. Returns false, Result untouched, for any other reference. Origin is what
/// libcurl writes of Root before its path (scheme, user, host, port), or empty when not known.
/// RootHasQuery tells whether Root may hold a query, and is kept up to date.
bool ResolveRootPath(CURLU* Root, bool& RootHasQuery, const std::string& Origin, const std::string& Encoded,
                     std::string& Result)
{
    if (!IsPlainRootPath(Encoded))
        return false;
    // The page's address with this path and query is what libcurl makes of the whole address, for a
    // fraction of the work: the page's address is neither written out nor read again.
    const size_t query = Encoded.find('?');
    const bool hasQuery = query != std::string::npos;
    std::string path;
    if (hasQuery)
        path.assign(Encoded, 0, query);
    // A query is removed only when Root may hold one.
    const bool set =
        curl_url_set(Root, CURLUPART_PATH, (hasQuery ? path : Encoded).c_str(), 0) == CURLUE_OK &&
        (!(hasQuery || RootHasQuery) ||
         curl_url_set(Root, CURLUPART_QUERY, hasQuery ? Encoded.c_str() + query + 1 : nullptr, 0) ==
             CURLUE_OK);
    RootHasQuery = hasQuery || !set;
    if (!set) {
        Result.clear();
        return true;
    }
    if (Origin.empty()) {
        if (!GetPart(Root, CURLUPART_URL, Result))
            Result.clear();
        return true;
    }
    // libcurl writes an address as its origin, its path and, when not empty, '?' and its query; only the
    // two parts set here differ from one address to the next, so only they are read back, straight into
    // Result.
    Result.reserve(Origin.size() + Encoded.size() + 1);
    Result = Origin;
    if (!AppendPart(Root, CURLUPART_PATH, Result)) {
        Result.clear();
        return true;
    }
    if (hasQuery) {
        const size_t mark = Result.size();
        Result += '?';
        if (!AppendPart(Root, CURLUPART_QUERY, Result) || Result.size() == mark + 1)
            Result.resize(mark);
    }
    return true;
}

/// What libcurl writes of Root's address before its path, or empty when that cannot be told; Root's path
/// and query are changed.
std::string OriginOf(CURLU* Root)
{
    std::string url;
    if (curl_url_set(Root, CURLUPART_PATH, "/", 0) != CURLUE_OK ||
        curl_url_set(Root, CURLUPART_QUERY, nullptr, 0) != CURLUE_OK ||
        curl_url_set(Root, CURLUPART_FRAGMENT, nullptr, 0) != CURLUE_OK ||
        !GetPart(Root, CURLUPART_URL, url) || url.empty() || url.back() != '/')
        return std::string();
    url.pop_back();
    return url;
}

} // namespace

void TPageUrl::TDeleter::operator()(Curl_URL* Handle) const
{
    curl_url_cleanup(Handle);
}

TPageUrl::TPageUrl(const std::string& Url, const std::string& QueryCharset)
{
    // A page in windows-1251 sends its queries as they stand.
    if (!QueryCharset.empty() && !IsWindows1251(QueryCharset) && IsKnownCharset(QueryCharset))
        m_QueryCharset = QueryCharset;
    std::string encoded;
    if (!EncodeReference(Url, encoded, std::string()))
        return;
    if (encoded.find("://") == std::string::npos)
        encoded.insert(0, "http://");
    TUrlHandle handle(curl_url());
    if (handle && curl_url_set(handle.get(), CURLUPART_URL, encoded.c_str(), 0) == CURLUE_OK &&
        IsWebScheme(handle.get()) && LowerHost(handle.get())) {
        m_Root.reset(curl_url_dup(handle.get()));
        if (m_Root) {
            m_Origin = OriginOf(m_Root.get());
            m_Handle.reset(handle.release());
        }
    }
}

TPageUrl::~TPageUrl() = default;

bool TPageUrl::Resolve(const std::string& Reference, std::string& Result) const
{
    const std::string_view resolved = Resolve(std::string_view(Reference));
    Result.assign(resolved);
    return !resolved.empty();
}

std::string_view TPageUrl::Keep(std::string_view Text) const
{
    if (Text.empty())
        return std::string_view();
    char* copy = static_cast<char*>(m_Memory.allocate(Text.size(), 1));
    std::memcpy(copy, Text.data(), Text.size());
    return std::string_view(copy, Text.size());
}

std::string_view TPageUrl::Resolve(std::string_view Reference) const
{
    if (!m_Handle)
        return std::string_view();
    const std::string& reference = m_Reference.assign(Reference.substr(0, Reference.find('#')));
    const auto known = m_Resolved.find(reference);
    if (known != m_Resolved.end())
        return known->second;
    // The address is made in m_Address, empty when it cannot be made, and kept in the memo.
    std::string& result = m_Address;
    result.clear();
    std::string encodedText;
    const bool plain = IsPlainReference(reference);
    if (plain || EncodeReference(reference, encodedText, m_QueryCharset)) {
        const std::string& encoded = plain ? reference : encodedText;
        if (!ResolveRootPath(m_Root.get(), m_RootHasQuery, m_Origin, encoded, result)) {
            const TUrlHandle handle(curl_url_dup(m_Handle.get()));
            // libcurl resolves an address set on a handle that holds one against it; an empty reference is
            // the page itself. An address without a scheme of its own keeps the page's, which is a web
            // scheme.
            const size_t colon = encoded.find(':');
            const bool ownScheme = colon != std::string::npos && colon < encoded.find('/');
            if (!handle ||
                (!encoded.empty() &&
                 curl_url_set(handle.get(), CURLUPART_URL, encoded.c_str(), 0) != CURLUE_OK) ||
                (ownScheme && !IsWebScheme(handle.get())) || !LowerHost(handle.get()) ||
                !GetPart(handle.get(), CURLUPART_URL, result))
                result.clear();
        }
    }
    const std::string_view address = Keep(result);
    m_Resolved.emplace(Keep(reference), address);
    return address;
}

std::string LowerCaseSchemeAndHost(std::string Url)
{
    size_t hostBegin = 0;
    const size_t separator = Url.find("://");
    const size_t pathBegin = std::min(Url.find_first_of("/?#"), Url.size());
    if (separator != std::string::npos && separator <= pathBegin) {
        LowerCaseAscii(Url, 0, separator);
        hostBegin = separator + 3;
    }
    const size_t hostEnd = std::min(Url.find_first_of("/?#", hostBegin), Url.size());
    // User information ("user:Password@") keeps its case.
    const size_t at = Url.rfind('@', hostEnd);
    if (at != std::string::npos && at >= hostBegin)
        hostBegin = at + 1;
    LowerCaseAscii(Url, hostBegin, hostEnd);
    return Url;
}

void AppendAddressCharacter(std::string& Text, char32_t CodePoint)
{
    if (CodePoint < 0x80) {
        Text += static_cast<char>(CodePoint);
        return;
    }
    // The UTF-8 forms of windows-1251's bytes 0x80-0xFF, made once.
    static const std::array<std::string, 128> upperHalf = [] {
        std::array<std::string, 128> forms;
        for (size_t i = 0; i < forms.size(); ++i)
            Cp1251ToUtf8(std::string(1, static_cast<char>(0x80 + i)), forms[i]);
        return forms;
    }();
    const std::string utf8 = Utf8(CodePoint);
    const auto found = std::find(upperHalf.begin(), upperHalf.end(), utf8);
    if (found != upperHalf.end()) {
        Text += static_cast<char>(0x80 + (found - upperHalf.begin()));
        return;
    }
    for (const char byte : utf8)
        AppendEncoded(Text, static_cast<unsigned char>(byte));
}

bool WithPathPrefix(const std::string& Url, const std::string& Prefix, std::string& Result)
{
    const TUrlHandle handle(curl_url());
    std::string path;
    return handle && curl_url_set(handle.get(), CURLUPART_URL, Url.c_str(), 0) == CURLUE_OK &&
           GetPart(handle.get(), CURLUPART_PATH, path) &&
           curl_url_set(handle.get(), CURLUPART_PATH, (Prefix + path).c_str(), 0) == CURLUE_OK &&
           GetPart(handle.get(), CURLUPART_URL, Result);
}

} // namespace BrintLib
