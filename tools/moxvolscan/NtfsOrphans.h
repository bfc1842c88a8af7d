// $OrphanFiles on NTFS: a folder of the program's own (the library's trees
// keep their shape) at the volume root, holding what no folder reaches.
#pragma once

#include <memory>
#include <vector>

#include "Ntfs.h"
#include "Volume.h"

// No record has this number; the folder has none to show.
constexpr uint64_t kOrphanFolderRef = ~uint64_t(0);

// The in-use base records with a name that the live tree does not hold
// (reached[n] false) and no folder lists, as items of a new $OrphanFiles
// whose parent is the live root (not yet among its children).
std::unique_ptr<TNTFSDirectory> FindLiveOrphans(TNTFSdrive& drive, const std::vector<bool>& reached);
// Moves the deleted tree's "MFT n" folders and nameless records into a $OrphanFiles of its own
// at the end of the deleted root's children (none when there are none).
void GatherDeletedOrphans(TNTFSdrive& drive);
