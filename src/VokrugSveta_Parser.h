// Site module of the second magazine site: recognition of its title-page URLs and its two page processors.
//
// The title page gives the saved contents page: the site's own page head, the cover picture beside the
// issue's heading, and a table of the articles, each row holding the site's link and a local link
// with the article's title and description as plain text. Every article is fetched in the site's printable
// form (the link's address resolved against the title page's, with "/print" before its path) and saved as
// the article's heading and text with a link back to the contents page. Pages get no navigation bar,
// footer or page list.
#pragma once

#include <string>

#include "PagePattern.h"

namespace VokrugSveta {

/// The site handler, second in the driver's table. Takes the host name of Url (after an optional
/// "http://" or "https://", in lower case as the driver hands URLs over, up to the first '/' or the end);
/// when it contains the site's host name, pushes the title-page task for Url onto g_TaskQueue, with SavePath,
/// and returns true; otherwise returns false and queues nothing. Raises the search error
/// (BrintLib::TAplThrowException) when Url has no host name at all (it is empty or begins with '/').
bool ProcessUrl(const std::string& Url, const std::string& SavePath);

/// The site's page patterns, in the order the module uses them ("B.Row", ...).
const TPagePatterns& Patterns();

} // namespace VokrugSveta
