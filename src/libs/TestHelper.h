// Running an external program and waiting for its exit code.
//
// The command line is one string, taken apart the way Windows takes a command line apart, so that a
// command composed for Windows (an unquoted program path with blanks, quoted arguments) runs the same
// program with the same arguments here. The program is started directly, never through a shell: nothing
// in a path or an argument can run as a command.
#pragma once

#include <string>
#include <vector>

namespace BrintLib {

/// A command line taken apart: the program to start and the arguments it receives after its own name.
struct TCommandLine {
    /// The program as the command line names it: a path (containing '/') or a name looked up in PATH.
    std::string Program;
    /// What the program receives as argv[1], argv[2], ... (argv[0] is Program).
    std::vector<std::string> Arguments;
};

/// Splits argument text by the Windows C runtime's rules:
///  * blanks and tabs separate arguments outside quotes; runs of them count as one separator;
///  * '"' opens and closes quoting (the quote itself is dropped), so "" is an empty argument;
///  * 2n backslashes before '"' give n backslashes and a quote that opens or closes quoting;
///    2n+1 backslashes before '"' give n backslashes and a literal '"';
///  * any other backslash is literal.
std::vector<std::string> SplitArguments(const std::string& Text);

/// Takes CommandLine apart as Windows process creation does, looking at the file system:
///  * leading blanks and tabs are skipped;
///  * a first word in double quotes is the program, up to the closing quote (or the end); characters
///    glued to the closing quote still belong to the program's own name and are skipped;
///  * an unquoted first word that is followed by further blank-separated words is resolved by trying the
///    prefixes that end before a blank, shortest first: the first that names an existing executable
///    regular file (a name without '/' is looked up in PATH) is the program. When none does, the program
///    is the text up to the first blank.
/// The text after the program is split with SplitArguments. Names are used as the system sees them, so
/// CommandLine is in the user's encoding.
TCommandLine SplitCommandLine(const std::string& CommandLine);

/// True when Name would start a program: a path (containing '/') names an executable regular file, a
/// plain name one in a PATH directory (an empty PATH entry is the current directory, as for execvp). Name
/// is in the user's encoding.
bool NamesProgram(const std::string& Name);

/// Runs Command (windows-1251; converted to the user's encoding for the system) as a child process and
/// waits, without limit, until it ends. The child shares the console and the environment, and the current
/// directory unless StartingDir (windows-1251) names the one it starts in (a relative path of the program
/// is then taken from the current directory still); it inherits no other open files.
/// Returns the child's exit code; a child ended by a signal gives 128 + the signal number. SIGCHLD has
/// its default action meanwhile (also when the program was started with it ignored), then the old one.
/// Throws TAplThrowException "Error on executing command '<Command>' with starting dir 'NULL': <system
/// text>" when the program cannot be started (the starting dir named when given). When waiting for the child
/// fails, prints a report block and throws TSilentException (APL_ERROR). Command must not be null (fatal
/// check).
unsigned ExecuteCommand(const char* Command, const char* StartingDir = nullptr);

} // namespace BrintLib
