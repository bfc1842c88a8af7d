// The assertion facility: a failed assertion raises "Assertion failure" naming
// the unit and line. By default that throws EAssertionFailed; tests may
// install a handler that returns, so the code's safe path after a failed
// assertion runs too.
#pragma once

#include <functional>
#include <stdexcept>
#include <string>

class EAssertionFailed : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// message is "Assertion failure (UNIT, line N)".
using AssertionHandler = std::function<void(const std::string& message)>;
void SetAssertionHandler(AssertionHandler handler);  // empty restores throwing
void AssertionFailed(const char* unit, int line);

#define MOX_ASSERT(cond, unit) \
  do {                         \
    if (!(cond)) AssertionFailed(unit, __LINE__); \
  } while (0)
