// Start-up of the Devices unit: the debug output, the cache switch and the
// shared cache lines.
#include "Devices.h"

// Made at load and kept for the life of the process: a host may set its
// handler before Initialize(), and a late log line from a unit below this one
// (or from a host thread still winding down) must find a live object.
TDebug* dbg = new TDebug;
bool optCacheEnabled = false;

namespace {
bool started = false;
}  // namespace

bool DevicesStarted() { return started; }

void MarkCacheLinesEmpty();  // with the cache, in Devices.cpp

void DevicesInitialization() {
  MarkCacheLinesEmpty();
  optCacheEnabled = false;
  started = true;
}

void DevicesFinalization() {
  started = false;
  // The host's handler may belong to code that is going away; drop it so late
  // lines go nowhere.
  dbg->OnDebugOut = nullptr;
  optCacheEnabled = false;
  MarkCacheLinesEmpty();
}
