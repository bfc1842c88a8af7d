// Start-up of the Devices unit: the debug output, the cache switch and the
// shared cache lines.
#include "Devices.h"

TDebug* dbg = nullptr;
bool optCacheEnabled = false;

void MarkCacheLinesEmpty();  // with the cache, in Devices.cpp

void DevicesInitialization() {
  // Made once and kept for the life of the process: the finalization of this
  // unit runs before those of the units below it, and a late log line from
  // them (or from a host thread still winding down) must find a live object.
  if (!dbg) dbg = new TDebug;
  MarkCacheLinesEmpty();
  optCacheEnabled = false;
}

void DevicesFinalization() {
  // The host's handler may belong to code that is going away; drop it so late
  // lines go nowhere.
  if (dbg) dbg->OnDebugOut = nullptr;
  optCacheEnabled = false;
  MarkCacheLinesEmpty();
}
