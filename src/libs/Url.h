// Addresses as a browser reads them: a link or picture address written in a page is resolved against the
// address of that page (RFC 3986 reference resolution, done by libcurl's URL API), after the bytes that
// may not stand in a URL have been percent-encoded the way browsers send them.
//
// Texts are windows-1251 bytes, as everywhere in the program; the addresses made here are plain ASCII, their
// scheme and host name in lower case, as browsers write them.
#pragma once

#include <memory>
#include <memory_resource>
#include <string>
#include <string_view>
#include <unordered_map>

struct Curl_URL;

namespace BrintLib {

/// The address of one page, against which the addresses written in that page are resolved. Holds
/// libcurl's parsed form of it, and remembers every address it has resolved, so that an address that stands
/// on the page several times (a link, its #comments form, the same picture) is resolved once. Not to be
/// used by two threads at once.
class TPageUrl {
  public:
    /// Url is the page's address as the program requested it; "http://" is assumed when it names no
    /// scheme. IsValid() tells whether libcurl accepted it as an http or https address. QueryCharset is the
    /// character set the page came in (one that iconv knows), in which a browser sends the queries of its
    /// addresses; empty for windows-1251.
    explicit TPageUrl(const std::string& Url, const std::string& QueryCharset = std::string());
    ~TPageUrl();
    TPageUrl(const TPageUrl&) = delete;
    TPageUrl& operator=(const TPageUrl&) = delete;

    bool IsValid() const { return m_Handle != nullptr; }

    /// Resolves Reference, an address as it stands in an attribute value of the page (quotes taken off,
    /// HTML character references already decoded): relative, root-relative ("/x"), protocol-relative
    /// ("//host/x") or absolute. Blanks and line ends around it are dropped and tabs and line ends inside
    /// it removed; blanks, control bytes, quotes, angle brackets and bytes above 0x7F are percent-encoded
    /// (the path in UTF-8, the query in the page's character set, as browsers do); a backslash before the
    /// query counts as
    /// a slash. The fragment (from '#') is not part of the result, which is what a request is made for.
    /// Returns false, Result unspecified, when the page's address is not valid, when libcurl refuses the
    /// address, or when it is not an http or https address (mailto:, javascript:, ftp:, ...).
    bool Resolve(const std::string& Reference, std::string& Result) const;
    /// The same, giving the resolved address without copying it: empty when Reference cannot be resolved,
    /// otherwise a text that this object owns and keeps unchanged for as long as it lives.
    std::string_view Resolve(std::string_view Reference) const;

  private:
    struct TDeleter {
        void operator()(Curl_URL* Handle) const;
    };
    std::unique_ptr<Curl_URL, TDeleter> m_Handle;
    /// A copy of the page's address whose path and query are replaced by those of each root-relative
    /// address resolved; null exactly when m_Handle is.
    std::unique_ptr<Curl_URL, TDeleter> m_Root;
    /// What libcurl writes of m_Root's address before its path ("http://host:port"), so that a
    /// root-relative address is written from its path and query alone; empty when not known.
    std::string m_Origin;
    /// The page's character set, in which a query's bytes beyond ASCII are sent; empty for windows-1251.
    std::string m_QueryCharset;
    /// Whether m_Root may hold a query now (one set with the last root-relative address resolved).
    mutable bool m_RootHasQuery = true;
    /// Text as a view of a copy in m_Memory, kept as long as this object.
    std::string_view Keep(std::string_view Text) const;

    /// The memory of the memo, its entries and their texts: taken in blocks as it grows, given back at once
    /// with the object (a page has thousands of addresses).
    mutable std::pmr::monotonic_buffer_resource m_Memory;
    /// Reference without its fragment -> the result, empty when it cannot be resolved; texts in m_Memory.
    mutable std::pmr::unordered_map<std::string_view, std::string_view> m_Resolved{&m_Memory};
    /// The reference being resolved, without its fragment, and the address being made: their memory serves
    /// one address after the other.
    mutable std::string m_Reference;
    mutable std::string m_Address;
};

/// Url with its scheme and host name in lower case, as browsers write them ("HTTPS://WWW.Mag-A.Test/X" gives
/// "https://www.mag-a.test/X"); everything else stays as it is. The scheme is the text before "://" when
/// that comes before the first '/', '?' or '#'; the host runs from there (past any "user@") to the next
/// one of them or the end.
std::string LowerCaseSchemeAndHost(std::string Url);

/// Appends to Text the character CodePoint (Unicode) as an address written in a page holds it once its
/// character references are decoded: its windows-1251 byte when the code page has one (encoded later as the
/// rest of the address is), otherwise its UTF-8 bytes percent-encoded, which is what a browser requests.
void AppendAddressCharacter(std::string& Text, char32_t CodePoint);

/// Url (an absolute address made by TPageUrl::Resolve) with Prefix put before its path, query and host
/// kept: "http://host/a/b?c" with "/print" gives "http://host/print/a/b?c". Returns false, Result
/// unspecified, when libcurl refuses Url.
bool WithPathPrefix(const std::string& Url, const std::string& Prefix, std::string& Result);

} // namespace BrintLib
