// The command line: options and arguments.
//
//   Skerrow [OPTION...] <URL of the contents page> <save path> [archiver]
//
// An option may stand anywhere; "--" ends the options (what follows is arguments, even when it begins with
// '-'). An option with a value takes it glued ("--name=VALUE") or as the next argument ("--name VALUE").
// Every option is in one table (kOptions in CommandLine.cpp), which the help lists too.
#pragma once

#include <string>
#include <vector>

/// What the command line asks for. The arguments keep the user's encoding.
struct TCommandLine {
    bool Help = false;    ///< -h, --help
    bool Version = false; ///< -V, --version
    bool Book = false;    ///< --epub
    bool Index = false;   ///< --index
    std::string Magazine; ///< --magazine FILE: the description the issue is copied by (the system's bytes)
    bool ListMagazines = false; ///< --magazines: list what can be copied, and end
    /// The arguments that are no options, in order: the URL, the save path and, when given, the archiver.
    std::vector<std::string> Arguments;
};

/// A command line that cannot be run: what is wrong, in plain words (windows-1251), and the argument it
/// is about as the user wrote it (the user's encoding; may be empty).
struct TUsageError {
    std::string What;
    std::string Argument;
};

/// Reads Args (the program name first, never read). Raises TUsageError for an unknown option, an option
/// without its value, a value given to an option that takes none, and, unless help or the version is asked
/// for, a missing URL or save path or an argument after the archiver.
TCommandLine ParseCommandLine(const std::vector<std::string>& Args);

/// The options as --help lists them, one line each ("  -h, --help - ...", windows-1251).
std::string OptionsHelp();

/// The usage line (windows-1251).
extern const char kUsage[];
