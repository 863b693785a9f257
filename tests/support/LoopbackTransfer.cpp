#include "LoopbackTransfer.h"

#include <cstdlib>

namespace TestSupport {

std::string MakeBody(std::size_t Size)
{
    std::string body(Size, '\0');
    unsigned state = 12345;
    for (char& c : body) {
        state = state * 1103515245u + 12345u;
        c = static_cast<char>(state >> 16);
    }
    return body;
}

void TLoopbackTransferTest::SetUp()
{
    for (const char* name : {"http_proxy", "no_proxy", "NO_PROXY", "all_proxy", "ALL_PROXY"})
        unsetenv(name);
}

} // namespace TestSupport
