// The steps every file system's save into a host folder takes alike: the
// questions before a file or folder is replaced, the free-space check, links
// refused, and the walk over a folder's children. Dialog texts are the
// numbered strings; names, logs and the copy itself stay with each drive.
#pragma once

#include <memory>

#include "Devices.h"

namespace savesteps {

// A link where an item would go is neither written through nor replaced:
// the user is told with string `message` and the save goes on.
bool RefusedAsLink(const AnsiString& target, int message);

// Before a file is written: a link refused, the 1718/1719 question for an
// existing file, then 1717 when the destination has too little room. 1 go
// on, 0 skipped (counts as saved), -1 failed.
int BeforeFile(const AnsiString& target, const AnsiString& destPath, const AnsiString& shownName, int64_t size,
               bool& OverwriteFiles);

// Before a folder's children: the progress event (a cancel passes the
// folder over), a link refused, the 1715/1716 question for an existing
// folder, the folder made (1720 when that fails; its children then fail one
// by one). False when the folder is passed over, which counts as saved.
bool EnterFolder(TCustomDrive& drive, TObject* D, const AnsiString& target, const AnsiString& shownName,
                 bool& OverwriteAllDirs, bool& OverwriteFiles);

// D's children, built for the save when it had none (and freed again
// after), shown to prepare(list) once, then handed in list order to
// saveFile / saveDir (the latter only when Recurse) until one returns False.
template <class File, class Dir, class Build, class Prepare, class SaveFile, class SaveDir>
bool SaveChildren(Dir* D, bool Recurse, Build build, Prepare prepare, SaveFile saveFile, SaveDir saveDir) {
  bool result = true;
  const bool built = !D->Children;
  if (built) build();
  if (D->Children) {
    // Held: a save may not free the list under us.
    std::shared_ptr<TChildList> list = D->Children;
    prepare(*list);
    for (TObject* child : *list) {
      if (auto* f = dynamic_cast<File*>(child)) {
        result = saveFile(f);
      } else if (auto* sub = dynamic_cast<Dir*>(child)) {
        if (!Recurse) continue;
        result = saveDir(sub);
      } else {
        continue;
      }
      if (!result) break;
    }
  }
  if (built && D->Children) {
    D->DeleteChildren();
    D->Children.reset();
  }
  return result;
}

}  // namespace savesteps
