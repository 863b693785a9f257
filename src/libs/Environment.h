// The program's settings from environment variables.
#pragma once

namespace BrintLib {

/// The environment variable Name when it is a whole number from Min to Max, written in digits only without
/// leading zeros ("0" itself where Min is 0); Default otherwise (unset, empty, anything else).
long WholeNumberFromEnvironment(const char* Name, long Min, long Max, long Default);

} // namespace BrintLib
