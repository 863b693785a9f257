// Character sets: the one wrapper of iconv in the program, and what is converted with it: a page received
// in any character set made windows-1251, and windows-1251 text made UTF-8 (for addresses).
//
// Inside the program every text is windows-1251. A page is converted once, before it is processed; the
// console's conversions (CoutConvert.h) use the same wrapper.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

namespace BrintLib {

/// One iconv conversion descriptor, from one character set to another; not to be used by two threads at
/// once.
class TIconv {
  public:
    /// What to do where the input holds a sequence that cannot be converted (or is malformed, or cut off
    /// at the end): append a replacement to Out and return how many bytes of Rest, at least one, to pass
    /// over; return 0 to give up.
    using TOnFailure = std::function<size_t(std::string_view Rest, std::string& Out)>;

    /// Names as iconv_open takes them ("CP1251", "UTF-8", ...). IsValid() tells whether iconv knows both.
    TIconv(const char* To, const char* From);
    ~TIconv();
    TIconv(const TIconv&) = delete;
    TIconv& operator=(const TIconv&) = delete;

    bool IsValid() const;

    /// Converts In into Out (which it replaces). Returns false, Out unspecified, when the descriptor is not
    /// valid or OnFailure (when empty: at the first failure) gives up.
    bool Convert(std::string_view In, std::string& Out, const TOnFailure& OnFailure = TOnFailure());
    /// The same, each byte that cannot be converted replaced by Replacement.
    bool Convert(std::string_view In, std::string& Out, char Replacement);

  private:
    void* m_Handle; ///< iconv_t
};

/// Whether iconv knows the character set Name (as iconv_open takes it: "KOI8-R", "utf-8", ...).
bool IsKnownCharset(const std::string& Name);

/// Whether Name, in any case, is a name of windows-1251: "windows-1251", "cp1251" or "x-cp1251".
bool IsWindows1251(const std::string& Name);

/// Text, windows-1251, in UTF-8. Returns false when it cannot be converted.
bool Cp1251ToUtf8(const std::string& Text, std::string& Result);

/// Text in the character set Charset (one that iconv knows) converted to windows-1251: a character that
/// windows-1251 cannot hold becomes its numeric character reference ("&#8364;"), and a malformed
/// sequence the reference of U+FFFD ("&#65533;"). Returns false, Text unchanged, when iconv does not know
/// Charset.
bool ToCp1251(const std::string& Charset, std::string& Text);

/// Makes Page, an HTML page received with the Content-Type header value ContentType (empty when there was
/// none), windows-1251. Its character set is told, as a browser tells it, by a byte order mark, else by the
/// charset of ContentType, else by the first <meta charset=...> or <meta http-equiv="Content-Type"
/// content="...; charset=..."> within its first 1024 bytes; a name that iconv does not know counts as
/// none. A page in windows-1251, or whose character set is not told, stays as it is, byte for byte. Any
/// other is converted (ToCp1251), its byte order mark dropped and the charset value of every <meta> tag,
/// wherever it stands, made "windows-1251", so that the page is what its site would give serving
/// windows-1251. Returns the name of the character set the page was converted from, empty when it stays as
/// it came: a browser sends the queries of the page's addresses in that one.
std::string PageToCp1251(std::string& Page, const std::string& ContentType);

} // namespace BrintLib
