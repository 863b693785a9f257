#include "Driver.h"

#include "libs/Exceptions.h"

void PackIssue(const std::string& /*ArchiverPath*/)
{
    APL_THROW("Packing is not available yet");
}
