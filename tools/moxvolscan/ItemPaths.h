// Items and their paths: a volume path, --mft N or --entry C:I resolved to
// an item, and the path ls shows for an item.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "FileSystem.h"

// Command lines name an item by path, by "--mft N" or by "--entry C:I"; this
// turns each of the latter into a path argument Resolve takes as that record
// or entry.
std::vector<std::string> RecordArguments(const std::vector<std::string>& args);

// An item by its path from the volume root: names as ls shows them (see
// Names.h), "/" or "\" between them, letters compared case-insensitively;
// "" or "/" is the root. Deleted items are found too; a live item wins over
// a deleted one of the same name. Null with a one-line error when there is
// no such item. An argument from RecordArguments names the item of that
// MFT record, a deleted one first, or of that FAT directory entry.
TObject* ResolveItem(FileSystem& fs, const std::string& volumePath, std::string& error);

bool IsDeletedItem(TObject* item);
// A live folder in the tree of deleted items, standing for itself on their path.
bool IsPathFolder(FileSystem& fs, TObject* item);
uint64_t SizeOf(TObject* item);
// The path ls shows for item, each name escaped, "/" between them.
std::string ShownPath(FileSystem& fs, TObject* item);
