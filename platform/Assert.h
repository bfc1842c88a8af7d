// The assertion facility: a failed assertion raises "Assertion failure" naming
// the unit and line. By default that throws EAssertionFailed. A host chooses
// otherwise by installing a handler: one that logs and returns lets the code
// go on along its safe path. (Through the factory and the interfaces a host's
// bad arguments get null or False and a last error; the back-end classes,
// made directly, assert on a bad mount point or a volume NtfsLib refuses.)
// The handler is process-wide and may be called on any thread, a scan's too.
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
