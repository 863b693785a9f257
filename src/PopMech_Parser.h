// Site module: recognition of the site's URLs and its page processors.
#pragma once

#include <string>

namespace PopMech {

/// The site handler: when Url belongs to this site, pushes the title-page task onto g_TaskQueue and
/// returns true; otherwise returns false.
bool ProcessUrl(const std::string& Url, const std::string& SavePath);

} // namespace PopMech
