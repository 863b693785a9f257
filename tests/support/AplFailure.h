// The message of an application failure, for tests that expect one.
#pragma once

#include <functional>
#include <string>

namespace TestSupport {

/// Runs Action and returns the message of the BrintLib::TAplThrowException it raises; fails the calling
/// test (and returns an empty text) when it raises none. Any other exception passes through.
std::string FailureOf(const std::function<void()>& Action);

} // namespace TestSupport
