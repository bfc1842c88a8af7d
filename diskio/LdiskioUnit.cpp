// Placeholder start-up until the logical sector I/O lands.
#include "Ldiskio.h"

bool optUseINT25 = true;

void LdiskioInitialization() { optUseINT25 = true; }
void LdiskioFinalization() {}
