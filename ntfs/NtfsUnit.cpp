#include "Ntfs.h"

WideString NtfsIndexName;

void NtfsInitialization() { NtfsIndexName = u"$I30"; }

void NtfsFinalization() { NtfsIndexName.clear(); }
