#include "PopMech_Parser.h"

namespace PopMech {

bool ProcessUrl(const std::string& /*Url*/, const std::string& /*SavePath*/)
{
    return false; // this site's pages are not recognised yet
}

} // namespace PopMech
