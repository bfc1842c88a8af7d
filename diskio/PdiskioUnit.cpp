// Placeholder start-up until the physical sector I/O lands.
#include "Pdiskio.h"

void PdiskioInitialization() {}
void PdiskioFinalization() {}
