// Test programs run in the zone TZ names, so a run under a zone with
// daylight saving checks what users elsewhere see; without TZ, in UTC
// rather than whatever zone the machine happens to have.
#include <cstdlib>
#include <ctime>

namespace {
const bool zoneSet = [] {
  if (!std::getenv("TZ")) setenv("TZ", "UTC", 1);
  tzset();
  return true;
}();
}  // namespace
