// Unit Ntfs: the NTFS reader. Only the unit's start-up is here so far.
#pragma once

#include "WinTypes.h"

// Name of the directory index attribute, prepared at start-up.
extern WideString NtfsIndexName;

void NtfsInitialization();
void NtfsFinalization();
