// Placeholder start-up until the device and object model land.
#include "Devices.h"

TDebug* dbg = nullptr;
bool optCacheEnabled = false;

void DevicesInitialization() {}
void DevicesFinalization() {}
