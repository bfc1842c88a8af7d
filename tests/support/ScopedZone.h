// A test that depends on the zone it runs in names it: TZ for the scope
// (programs it starts inherit it), the zone before restored at the end.
#pragma once

#include <cstdlib>
#include <ctime>
#include <optional>
#include <string>

class ScopedZone {
 public:
  explicit ScopedZone(const char* zone) {
    if (const char* old = std::getenv("TZ")) old_ = old;
    Set(zone);
  }
  ~ScopedZone() {
    if (old_) Set(old_->c_str());
    else unsetenv("TZ"), tzset();
  }
  ScopedZone(const ScopedZone&) = delete;
  ScopedZone& operator=(const ScopedZone&) = delete;

 private:
  static void Set(const char* zone) {
    setenv("TZ", zone, 1);
    tzset();
  }
  std::optional<std::string> old_;
};
