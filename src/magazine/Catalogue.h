// Where the descriptions of magazines come from: a file named on the command line, or the one that serves
// the contents page's host among the user's descriptions ($XDG_CONFIG_HOME/skerrow/magazines/, by default
// ~/.config/skerrow/magazines/) and then those installed with the program (the source tree's magazines/
// for a build tree). The driver asks here after the built-in sites, or first when a file is named.
#pragma once

#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "Logic.h"

namespace Magazine {

/// The task that copies the issue whose contents page is Url (scheme and host in lower case) below
/// SavePath: as DescriptionFile says when it is not empty, else as the first description found for Url's
/// host. Null when DescriptionFile is empty and no description serves the host. Raises the description's
/// failure ("FILE:LINE:COLUMN: ...") for a description that cannot be read.
std::unique_ptr<ITask> ContentsTask(const std::string& Url, const std::string& SavePath,
                                    const std::string& DescriptionFile);

/// The directories searched for descriptions, in order.
std::vector<std::string> DescriptionDirectories();

/// Writes one line per description found (windows-1251): its name, file and hosts. Raises the failure of
/// a description that cannot be read.
void ListDescriptions(std::ostream& Out);

} // namespace Magazine
