// Runs a piece of code with standard output redirected into a string, so
// that report lines printed with say() can be checked in-process.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace quillet::test_support {

// Returns what `body` wrote to stdout. If `body` throws, stdout is restored,
// the captured text is kept in `captured_before_throw()` and the exception
// propagates.
std::string capture_stdout(const std::function<void()>& body);

// Output of the last capture that ended with an exception.
const std::string& captured_before_throw();

// Splits text into lines (without their line ends).
std::vector<std::string> split_lines(const std::string& text);

}  // namespace quillet::test_support
