#include "libs/CoutConvert.h"

#include <langinfo.h>
#include <locale.h>

#include <algorithm>
#include <cstring>
#include <iostream>

#include "libs/Charset.h"
#include "libs/Exceptions.h"

namespace BrintLib {

namespace {

// The marks around a path's system bytes in text (SystemPathToText).
constexpr char kPathStart = '\x0E';  // SO
constexpr char kPathEnd = '\x0F';    // SI
constexpr char kPathEscape = '\x10'; // DLE, before a mark that is one of the path's bytes

bool IsMark(char Byte)
{
    return Byte == kPathStart || Byte == kPathEnd || Byte == kPathEscape;
}

/// Whether SystemPathToText keeps Byte between marks.
bool IsMarked(char Byte)
{
    return static_cast<unsigned char>(Byte) >= 0x80 || IsMark(Byte);
}

/// Where the marked bytes that begin at Text[Start] (a kPathStart) end: the index of their kPathEnd;
/// npos when none follows (nothing is marked without a byte between the marks), and Text[Start] is then
/// a byte like any other.
size_t MarkedEnd(const std::string& Text, size_t Start)
{
    for (size_t i = Start + 1; i < Text.size(); ++i) {
        if (i == Start + 1 && Text[i] == kPathEnd)
            return std::string::npos;
        if (Text[i] == kPathEscape)
            ++i;
        else if (Text[i] == kPathEnd)
            return i;
    }
    return std::string::npos;
}

/// Text with each run of marked bytes passed to Marked (the bytes, unescaped) and the rest to Plain, in
/// order; each appends its result to Out.
template <class TPlain, class TMarked>
std::string ConvertPieces(const std::string& Text, TPlain Plain, TMarked Marked)
{
    std::string out;
    size_t at = 0;
    for (size_t start = Text.find(kPathStart); start != std::string::npos;
         start = Text.find(kPathStart, at)) {
        const size_t end = MarkedEnd(Text, start);
        if (end == std::string::npos)
            break;
        Plain(Text.substr(at, start - at), out);
        std::string bytes;
        for (size_t i = start + 1; i < end; ++i)
            bytes += Text[i] == kPathEscape ? Text[++i] : Text[i];
        Marked(bytes, out);
        at = end + 1;
    }
    Plain(Text.substr(at), out);
    return out;
}

/// Cp1251ToUser of text without marks.
std::string PlainCp1251ToUser(const std::string& Text)
{
    std::string result;
    // Plain ASCII reads the same in every encoding that a locale can name: most lines on the console are
    // addresses, and they need no conversion.
    if (IsWindows1251(UserEncoding()) ||
        std::all_of(Text.begin(), Text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; })) {
        result = Text;
    } else {
        // One per thread: a conversion descriptor keeps state, and file names are converted off the main
        // thread too (the transfer engine begins file tasks on a thread of its own).
        static thread_local TIconv converter(UserEncoding().c_str(), "CP1251");
        if (!converter.IsValid() || !converter.Convert(Text, result, '?'))
            result = Text;
    }
    return result;
}

std::string FindUserEncoding()
{
    locale_t userLocale = newlocale(LC_CTYPE_MASK, "", static_cast<locale_t>(nullptr));
    if (userLocale == static_cast<locale_t>(nullptr))
        return "UTF-8";
    std::string codeset = nl_langinfo_l(CODESET, userLocale);
    freelocale(userLocale);
    if (codeset.empty() || codeset == "ANSI_X3.4-1968" || codeset == "ASCII" || codeset == "US-ASCII")
        return "UTF-8";
    return codeset;
}

void WriteBytes(std::ostream& Stream, const char* Text, size_t Length)
{
    if (&Stream != &std::cout && &Stream != &std::cerr) {
        Stream.write(Text, static_cast<std::streamsize>(Length));
        return;
    }
    const std::string converted = Cp1251ToUser(std::string(Text, Length));
    Stream.write(converted.data(), static_cast<std::streamsize>(converted.size()));
}

} // namespace

const std::string& UserEncoding()
{
    static const std::string encoding = FindUserEncoding();
    return encoding;
}

std::string Cp1251ToUser(const std::string& Text)
{
    if (Text.find(kPathStart) == std::string::npos)
        return PlainCp1251ToUser(Text);
    return ConvertPieces(
        Text, [](const std::string& Plain, std::string& Out) { Out += PlainCp1251ToUser(Plain); },
        [](const std::string& Path, std::string& Out) { Out += Path; });
}

std::string SystemPathToText(const std::string& Path)
{
    std::string text;
    for (size_t i = 0; i < Path.size();) {
        if (!IsMarked(Path[i])) {
            text += Path[i++];
            continue;
        }
        text += kPathStart;
        for (; i < Path.size() && IsMarked(Path[i]); ++i) {
            if (IsMark(Path[i]))
                text += kPathEscape;
            text += Path[i];
        }
        text += kPathEnd;
    }
    return text;
}

std::string PathsToCp1251(const std::string& Text)
{
    return ConvertPieces(
        Text, [](const std::string& Plain, std::string& Out) { Out += Plain; },
        [](const std::string& Path, std::string& Out) {
            std::string converted;
            if (IsWindows1251(UserEncoding())) {
                converted = Path;
            } else {
                // A character that cannot be converted becomes one '?', however many bytes it has.
                const bool utf8 = UserEncoding() == "UTF-8";
                static thread_local TIconv converter("CP1251", UserEncoding().c_str());
                if (!converter.IsValid() ||
                    !converter.Convert(Path, converted, [utf8](std::string_view Rest, std::string& Output) {
                        Output += '?';
                        size_t skip = 1;
                        while (utf8 && skip < Rest.size() &&
                               (static_cast<unsigned char>(Rest[skip]) & 0xC0) == 0x80)
                            ++skip;
                        return skip;
                    }))
                    converted = std::string(Path.size(), '?');
            }
            Out += converted;
        });
}

bool UserToCp1251(const std::string& Text, std::string& Result)
{
    if (IsWindows1251(UserEncoding())) {
        Result = Text;
        return true;
    }
    static thread_local TIconv converter("CP1251", UserEncoding().c_str());
    return converter.IsValid() && converter.Convert(Text, Result);
}

std::string MaskControlBytes(std::string Text)
{
    const bool utf8 = UserEncoding() == "UTF-8";
    for (size_t i = 0; i < Text.size(); ++i) {
        const size_t end = Text[i] == kPathStart ? MarkedEnd(Text, i) : std::string::npos;
        if (end == std::string::npos) {
            const auto byte = static_cast<unsigned char>(Text[i]);
            if ((byte < 0x20 && Text[i] != '\t' && Text[i] != '\n') || byte == 0x7F)
                Text[i] = '?';
            continue;
        }
        // A path's bytes, shown as they are: no control character of them reaches the terminal either.
        for (size_t j = i + 1; j < end; ++j) {
            const auto byte = static_cast<unsigned char>(Text[j]);
            const bool c1 = utf8 && byte == 0xC2 && j + 1 < end &&
                            static_cast<unsigned char>(Text[j + 1]) >= 0x80 &&
                            static_cast<unsigned char>(Text[j + 1]) <= 0x9F;
            if (Text[j] == kPathEscape || c1) {
                Text[j] = Text[j + 1] = '?';
                ++j;
            } else if (byte < 0x20 || byte == 0x7F) {
                Text[j] = '?';
            }
        }
        i = end;
    }
    return Text;
}

void ShowDownload(const std::string& Url)
{
    std::cout << "Download: " << MaskControlBytes(Url) << '\n';
}

void FlushConsole()
{
    std::cout.flush();
}

std::ostream& WriteConverted(std::ostream& Stream, const char* Text)
{
    FATAL_CHECK(TestPtr__(Text));
    WriteBytes(Stream, Text, std::strlen(Text));
    return Stream;
}

std::ostream& WriteConverted(std::ostream& Stream, const std::string& Text)
{
    WriteBytes(Stream, Text.data(), Text.size());
    return Stream;
}

} // namespace BrintLib
