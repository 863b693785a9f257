#include "AplFailure.h"

#include <gtest/gtest.h>

#include "libs/Exceptions.h"

namespace TestSupport {

std::string FailureOf(const std::function<void()>& Action)
{
    try {
        Action();
    } catch (const BrintLib::TAplThrowException& e) {
        return e.what();
    }
    ADD_FAILURE() << "no BrintLib::TAplThrowException raised";
    return std::string();
}

} // namespace TestSupport
