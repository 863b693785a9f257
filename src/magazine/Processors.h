// The processors of a described magazine: the contents page, made by the program from what the description
// finds on the site's contents page, and the articles, each its kept elements from one page or, for a
// long article, from each of its pages joined into one.
//
// The saved issue has the shape of every issue: the issue directory YYYY_MM/, the contents page
// YYYY_MM_00.htm (the issue's title, the cover, the sections as <h2> headings each with a list of its
// articles' titles as links), the article pages YYYY_MM_NN.htm in contents order with the navigation bar
// and footer, and one picture directory per page. Pages are saved in windows-1251, characters beyond it
// as numeric references, as every page of the program.
#pragma once

#include <memory>
#include <string>

#include "Logic.h"
#include "magazine/Description.h"

namespace Magazine {

/// The task that copies the issue whose contents page is at Url (scheme and host in lower case) below
/// SavePath, as Description says.
std::unique_ptr<ITask> MakeContentsTask(const std::string& Url, const std::string& SavePath,
                                        std::shared_ptr<const TDescription> Description);

/// The issue name (YYYY_MM) of the year text YearText and the month text MonthText read in Language: a
/// number from 1 to 12, a month's name in English (for "en..." languages) or as MonthCode reads it
/// (Russian names, and the special issues' codes); any other word gives MonthCode's "unkn". Raises
/// MakeIssueName's failure for a year that is no number.
std::string IssueName(const std::string& YearText, const std::string& MonthText, const std::string& Language);

/// The address of the article at Url under Rule: Rule's pattern's first match in Url replaced by its
/// replacement ($1..$9 the groups, $$ a '$'); Url itself when the pattern does not match.
std::string RewriteAddress(const TAddressRule& Rule, const std::string& Url);

} // namespace Magazine
