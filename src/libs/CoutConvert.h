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
/// leaves undefined (0x98), and any character the user's encoding cannot show, become '?'. May be called
/// from several threads at once, as UserToCp1251.
std::string Cp1251ToUser(const std::string& Text);

/// Converts text in the user's encoding to windows-1251. Returns false, leaving Result unspecified, when
/// the text holds a character that windows-1251 cannot represent or a malformed sequence.
bool UserToCp1251(const std::string& Text, std::string& Result);

/// Text from the network made safe to show on a terminal or to log: every byte below 0x20 except tab and
/// line feed, and 0x7F, becomes '?', so that no escape sequence or carriage return reaches the terminal.
/// All other bytes are kept; the result has the length of Text.
std::string MaskControlBytes(std::string Text);

} // namespace BrintLib
