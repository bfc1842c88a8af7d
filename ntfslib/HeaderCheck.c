/* Compiled as C so that the interface stays usable from C. */
#include "NtfsLib.h"

_Static_assert(sizeof(NtfsLibFindData) == 592, "the find record keeps its layout in C too");
