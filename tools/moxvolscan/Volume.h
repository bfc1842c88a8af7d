// What ls, cat and save share: an image or device behind a free drive letter,
// mounted as the drive of whichever file system it holds.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "CliSupport.h"
#include "DiskPlace.h"
#include "FileSystem.h"
#include "FileSystems.h"
#include "ItemPaths.h"

// What a source holds, from its first sectors, before any drive mounts it.
enum class SourceKind { Bytes, Empty, Folder, Unreadable };
struct SourceFacts {
  SourceKind kind = SourceKind::Unreadable;
  RecognisedVolume volume;                // what its first bytes are (Bytes only)
  const FileSystemType* type = nullptr;   // the registry's row for it; null when unrecognised
  uint64_t heldBytes = 0;     // the source's size
  uint64_t claimedBytes = 0;  // the volume's size as its boot sector gives it, 0 unknown
};
SourceFacts ExamineSource(char letter);
// "the image holds 12.0 MiB of the 32.0 MiB volume; ..." when it holds less, else "".
std::string TruncationText(const SourceFacts& facts);
// Why no drive could be mounted on such a source, as far as its first
// sectors tell: "is empty", "an exFAT volume, neither FAT nor NTFS; ...",
// "an NTFS volume whose MFT cannot be read: ..."; "" when they tell nothing.
std::string SourceProblem(const SourceFacts& facts);
// "no FAT or NTFS volume found; this program reads FAT and NTFS volumes".
std::string NoVolumeFound();
// The file-system name of the letter's volume: the one GetVolumeInformation
// gives, else the one its first bytes have ("ext2/ext3/ext4"); "" for none.
std::string FileSystemNameOf(char letter);

class Volume {
 public:
  Volume() = default;
  ~Volume();  // drive before device, then the letter goes back
  Volume(const Volume&) = delete;
  Volume& operator=(const Volume&) = delete;

  // Binds hostPath (with a place: the volume there on a whole disk) to a
  // free letter and mounts it; false with a one-line error, which names
  // what was found instead. An image that holds less than its volume is
  // told on stderr at once when place names the command.
  bool Open(const std::string& hostPath, std::string& error, const DiskPlace& place = {});
  // What the image lacks ("" when it holds the whole volume): a listing of
  // it may be incomplete.
  const std::string& Truncation() const { return truncation_; }
  // Folders built so far whose items could not all be read or were cut.
  std::vector<TCustomDirectory*> IncompleteFolders();
  // One stderr line per such folder, and one on how deleted items were
  // searched when that was not the usual way; true when there was a folder
  // or the search could not run.
  bool TellIncomplete(const char* command);
  FileSystem& fs() { return *fs_; }
  TCustomDrive& drive() { return fs_->drive(); }
  // Reads through the shared sector cache in lines of the given size, so
  // one-sector reads become few large reads.
  void UseSectorCache(uint32_t lineSectors);
  // For a command's last step: the item tree is left to the end of the
  // process, which takes it back at once, rather than freed item by item.
  void KeepTreeUntilExit();

  // An item by its path from the volume root (see ResolveItem).
  TObject* Resolve(const std::string& volumePath, std::string& error) { return ResolveItem(*fs_, volumePath, error); }

 private:
  ModuleSession module_;  // first in, last out: the units outlive the drive
  char letter_ = 0;
  std::unique_ptr<TDevice> device_;
  std::unique_ptr<FileSystem> fs_;
  std::string truncation_;
};

