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
    for (char& c : Text) {
        const auto byte = static_cast<unsigned char>(c);
        if ((byte < 0x20 && c != '\t' && c != '\n') || byte == 0x7F)
            c = '?';
    }
    return Text;
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
