// Console output conversion.
//
// Every text inside the program is windows-1251. Text is converted to the user's encoding only when it is
// written to the console stream objects std::cout or std::cerr themselves; written to any other stream (a
// string stream, a file) the same text keeps its bytes. So a message may be composed once and then be logged
// unchanged and shown readable.
#pragma once

#include <ostream>
#include <string>

namespace BrintLib {

/// Writes Text to Stream; converted from windows-1251 to the user's encoding when Stream is std::cout or
/// std::cerr.
/// Text must not be null (fatal check). Returns Stream.
std::ostream& WriteConverted(std::ostream& Stream, const char* Text);
/// The same for a byte string; embedded zero bytes are written like any other byte.
std::ostream& WriteConverted(std::ostream& Stream, const std::string& Text);

/// The codeset of the user's locale settings (the process locale is not changed); "UTF-8" when the
/// locale cannot be loaded or names plain ASCII.
const std::string& UserEncoding();

/// Converts windows-1251 text to the user's encoding. Never fails on content: the byte that windows-1251
/// leaves undefined (0x98), and any character the user's encoding cannot show, become '?'. The system's
/// bytes of a path in Text (SystemPathToText) are given back as they came. May be called from several
/// threads at once, as UserToCp1251.
std::string Cp1251ToUser(const std::string& Text);

/// A path as the system gave it (a command-line argument, in the user's encoding, or any bytes) made text
/// of the program without converting it: each run of bytes that windows-1251 text cannot stand for (0x80
/// and above, and the marks themselves) is kept between the marks SO (0x0E) and SI (0x0F), with DLE
/// (0x10) before a mark inside. ASCII stays as it is, so names composed below the path (ASCII) join it as
/// text, and no separator is ever inside marks. Cp1251ToUser gives the path's bytes back, so it goes to
/// the system (NativePath) and to the console unchanged, never converted twice.
std::string SystemPathToText(const std::string& Path);

/// Text for a windows-1251 file (errors.txt): the system's bytes of a path converted from the user's
/// encoding, a character that windows-1251 cannot hold becoming '?'; the rest as it is.
std::string PathsToCp1251(const std::string& Text);

/// Converts text in the user's encoding to windows-1251. Returns false, leaving Result unspecified, when
/// the text holds a character that windows-1251 cannot represent or a malformed sequence.
bool UserToCp1251(const std::string& Text, std::string& Result);

/// Text from the network made safe to show on a terminal or to log: every byte below 0x20 except tab and
/// line feed, and 0x7F, becomes '?', so that no escape sequence or carriage return reaches the terminal.
/// The marks of a path's bytes (SystemPathToText) stay, and inside them a control character (a marked
/// one, or a C1 control in UTF-8) becomes '?' too. All other bytes are kept; the result has the length of
/// Text.
std::string MaskControlBytes(std::string Text);

/// Shows on standard output that Url is being downloaded: "Download: ", Url unconverted with its control
/// bytes masked (MaskControlBytes), and a line feed; it reaches the console with the next FlushConsole.
void ShowDownload(const std::string& Url);

/// What the program wrote to standard output reaches the console now.
void FlushConsole();

} // namespace BrintLib
