// The page patterns of the program: the table in which the page services and each site module list the
// patterns they search pages with, and the two pieces from which their attribute tests are written.
//
// An attribute is matched in one shape: its name, then "=" with an opening double quote, single quote or
// nothing, then the value recognised through a look-behind on that delimiter and a look-ahead on its end.
#pragma once

#include <string>
#include <vector>

#include "libs/RegexpWrapper.h"

/// One pattern of a module's table.
struct TPagePattern {
    const char* Name; ///< unique in the program: the module's letter or name, '.', what it finds
    std::string Text; ///< the pattern, windows-1251
    int Flags;        ///< the compile flags (0, regex::SINGLELINE, regex::NOCASE)
};
using TPagePatterns = std::vector<TPagePattern>;

/// The attribute Name whose value is exactly Value (a pattern text itself), in any of the three
/// delimiters; no group.
std::string AttributeIs(const std::string& Name, const std::string& Value);

/// The attribute Name with its value captured by one group: up to the closing quote when quoted,
/// otherwise up to a blank or '>'. A longer name that ends in Name is not it ("data-href" is no href).
std::string AttributeValue(const std::string& Name);

/// Compiles Pattern with its flags. Pattern must outlive the result (a table entry does). Raises what
/// TRegexp raises.
TRegexp Compile(const TPagePattern& Pattern);

/// The entry named Name in Table. Raises BrintLib::TAplThrowException when there is none.
const TPagePattern& FindPattern(const TPagePatterns& Table, const std::string& Name);
