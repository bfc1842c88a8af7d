#include "Assert.h"

#include <mutex>

namespace {

std::mutex& HandlerLock() {
  static std::mutex lock;
  return lock;
}

AssertionHandler& Handler() {
  static AssertionHandler handler;
  return handler;
}

}  // namespace

void SetAssertionHandler(AssertionHandler handler) {
  std::lock_guard guard(HandlerLock());
  Handler() = std::move(handler);
}

void AssertionFailed(const char* unit, int line) {
  const std::string message = "Assertion failure (" + std::string(unit ? unit : "?") + ", line " +
                              std::to_string(line) + ")";
  AssertionHandler handler;
  {
    std::lock_guard guard(HandlerLock());
    handler = Handler();
  }
  if (!handler) throw EAssertionFailed(message);
  handler(message);
}
