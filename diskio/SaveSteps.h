// The steps every file system's save into a host folder takes alike: the
// questions before a file or folder is replaced, the free-space check, links
// refused, and the walk over a folder's children. Dialog texts are the
// numbered strings; names, logs and the copy itself stay with each drive.
#pragma once

#include <cmath>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <vector>

#include "Devices.h"
#include "WinApi.h"

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

// name, or "name (2).ext", "name (3).ext" ... whichever is not in used yet;
// the stem is cut (at a character boundary) so the name stays in 255 bytes.
// Names alike once made safe (a live file and its deleted predecessor, "a/b"
// and "a_b", long names cut to 255 bytes) would overwrite each other.
AnsiString DistinctName(const AnsiString& name, const std::set<AnsiString>& used);

// The names a folder's children are saved under while the folder's save
// runs, kept in the drive's map: each child's safe name, numbered when an
// earlier child took it. Taken out of the map again when the folder is done.
class FolderNames {
 public:
  explicit FolderNames(std::map<const TObject*, AnsiString>& names) : names_(names) {}
  ~FolderNames() {
    for (const TObject* child : named_) names_.erase(child);
  }
  FolderNames(const FolderNames&) = delete;
  FolderNames& operator=(const FolderNames&) = delete;
  void Add(const TObject* child, const AnsiString& safeName) {
    const AnsiString name = DistinctName(safeName, used_);
    used_.insert(name);
    names_[child] = name;
    named_.push_back(child);
  }

 private:
  std::map<const TObject*, AnsiString>& names_;
  std::set<AnsiString> used_;
  std::vector<const TObject*> named_;
};

// Shows string 1711: writing target failed.
void WriteFailed(const AnsiString& target);

// A file's copy grows under a temporary name beside target and takes
// target's name (replacing a file there) only once complete, so an
// interrupted or failed save never leaves a partial file that looks like the
// whole one. copy(h) writes the data (h is INVALID_HANDLE_VALUE when no
// temporary file could be made) and says whether to keep it; the kept copy
// gets the last-write time (UTC, none when 0) and attributes, then the name.
// False when nothing was saved; a copy that throws is removed as well.
bool SaveThroughTemporary(const AnsiString& target, const FILETIME& lastWrite, DWORD attributes,
                          const std::function<bool(HANDLE h)>& copy);
// The same for a volume that keeps local MS-DOS times (none when the date
// names no day): the copy gets the instant that wall-clock time was here.
bool SaveThroughTemporary(const AnsiString& target, uint16_t date, uint16_t time, DWORD attributes,
                          const std::function<bool(HANDLE h)>& copy);

// The copy loop of a file's save: read(buffer, n) fills the buffer with up
// to its size and tells n; each piece is followed by a progress event for
// item (a cancel ends the copy, noted in cancel) and written to h. A failed
// read calls readFailed() and ends the copy; a failed write shows 1711. The
// result is that of the last read or write.
template <class Read, class ReadFailed>
bool CopyPieces(TCustomDrive& drive, TObject* item, const AnsiString& target, int64_t size, HANDLE h,
                std::vector<uint8_t>& buffer, Read read, ReadFailed readFailed, bool& cancel) {
  bool result = h != INVALID_HANDLE_VALUE;
  if (size <= 0) return result;
  uint64_t total = 0;
  DWORD written = 0;
  uint32_t n = 0;
  do {
    const bool ok = read(buffer.data(), n);
    result = ok;
    total += n;
    if (drive.OnProgress) {
      cancel = false;
      const int percent = static_cast<int>(std::nearbyint(double(total) / double(size) * 100.0));
      drive.OnProgress(item, item, target, percent, cancel);
    }
    if (!ok) {
      readFailed();
      break;
    }
    written = 0;
    result = WriteFile(h, buffer.data(), n, &written, nullptr) != FALSE;
    if (!result) WriteFailed(target);
    // Done at the size: no empty read (and no repeated 100 %) after the last piece.
  } while (written > 0 && result && n >= 4 && !cancel && total < uint64_t(size));
  return result;
}

}  // namespace savesteps
