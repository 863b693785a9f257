// The page of every issue saved in a save path: SavePath/index.htm.
#pragma once

#include <string>

/// Writes SavePath/index.htm, listing every issue found there on disk (issue directories, zip archives and
/// books that Skerrow made) grouped by year, newest first: title, cover picture (inside the page), number of
/// articles, links to the contents page, the archive and the book. Written atomically; it replaces an
/// index.htm that Skerrow wrote, never a file of the user's; nothing else of the save path is touched.
/// Returns its path; raises TAplThrowException when it cannot be written.
std::string WriteIssueIndex(const std::string& SavePath);
