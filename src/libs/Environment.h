// The program's settings from environment variables: one table names each variable with its range, its
// default and what it sets; every reader takes its value from here, and the driver checks them all before
// a run starts, so that a value out of its range is refused instead of silently replaced.
#pragma once

#include <vector>

namespace BrintLib {

/// A variable that holds a whole number from Min to Max; Default when unset or empty. Meaning
/// (windows-1251) says what it sets, for the usage.
struct TEnvironmentSetting {
    const char* Name;
    long Min;
    long Max;
    long Default;
    const char* Meaning;
};

/// Every variable the program reads, in the order the usage lists them.
const std::vector<TEnvironmentSetting>& EnvironmentSettings();

/// The entry of EnvironmentSettings() named Name (fatal check that there is one).
const TEnvironmentSetting& FindSetting(const char* Name);

/// The value of the variable Name (an entry of EnvironmentSettings()): its default when unset or empty.
/// Raises TAplThrowException "Переменная окружения NAME=VALUE недопустима: нужно целое число от MIN до MAX"
/// when it is anything but a whole number (digits only) within its range.
long WholeNumberFromEnvironment(const char* Name);

/// Raises WholeNumberFromEnvironment's failure for the first variable set to anything but a value of its
/// range.
void CheckEnvironmentSettings();

} // namespace BrintLib
