// Saving items of a volume into a host folder, as save and recover do it:
// atomic copies with their times and attributes, names made safe and
// distinct, short and failed copies named, a tally for the last line.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <unordered_set>
#include <vector>

#include "CliSupport.h"
#include "SaveReport.h"
#include "Volume.h"

// "moxvolscan COMMAND: text" on stderr.
void SayAs(const char* command, const std::string& text);

// Where the library's "X:\a\b" lands: DEST as the user gave it, then the
// names below it as ls shows names.
class Destination {
 public:
  Destination(std::string given, std::string host, char letter)
      : given_(std::move(given)), host_(std::move(host)), letter_(letter) {}
  std::string LibraryPath() const { return std::string(1, letter_) + ":\\"; }
  std::string Shown(const std::string& libraryPath) const;
  // "DEST/a/b: what", saying so when a link is what stood in the way.
  std::string Trouble(const std::string& libraryPath, const std::string& what) const;

 private:
  bool LinkInTheWay(const std::string& libraryPath) const;
  std::vector<std::string> Names(const std::string& libraryPath) const;
  std::string given_, host_;
  char letter_;
};

// DEST is the user's: made when missing (and taken away again when nothing
// came of it), then reached through a letter of its own, so the names below
// it are volume names and never cross a link.
class DestFolder {
 public:
  explicit DestFolder(const char* command) : command_(command) {}
  ~DestFolder();
  DestFolder(const DestFolder&) = delete;
  DestFolder& operator=(const DestFolder&) = delete;
  // False having said why.
  bool Open(const std::string& given);
  const Destination& dest() const { return *dest_; }
  // A folder made here is taken away at the end unless the save succeeded
  // (only when it stayed empty).
  void Succeeded(bool success) { removeIfEmpty_ = created_ && !success; }

 private:
  const char* command_;
  std::string given_;
  char letter_ = 0;
  bool created_ = false, removeIfEmpty_ = false;
  std::unique_ptr<Destination> dest_;
};

// What one save did, told in its last line.
struct Tally {
  uint64_t saved = 0, bytes = 0, shortCopies = 0, reused = 0, skipped = 0, failed = 0;
  void Add(const Tally& t);
  // "12 saved (345678 bytes), 1 short, 2 reused, 0 skipped, 0 failed"
  std::string Text() const;
};

// The walk of a save. The program walks the tree itself instead of handing
// it to the drive's SaveItem: on NTFS a folder's deleted items hang in a
// tree of their own that SaveItem never visits, names alike once made safe
// need one rule on both file systems, a file that fails must not end the
// save of its folder, and a short copy is kept.
class Saver {
 public:
  // mode: "ask", "all" or "none", as --overwrite gives it.
  Saver(const char* command, FileSystem& fs, const Destination& dest, const std::string& mode);
  ~Saver();

  Tally tally;

  void Run(const std::vector<TObject*>& items);
  // Saves only the items in keep, entering only the folders in it; null
  // (the default) saves everything it meets.
  void SaveOnly(const std::unordered_set<TObject*>* keep) { keep_ = keep; }

  // What a folder holds, live and deleted; the root's are what saving the
  // whole volume saves.
  std::vector<TObject*> ChildrenOf(TCustomDirectory* d);

 private:
  TCustomDirectory* DeletedCounterpart(TCustomDirectory* d);
  void SaveAll(std::vector<TObject*> items, const std::string& into, int depth);
  void Begin(const std::string& target, TObject* item);
  void SaveFolder(TCustomDirectory* d, const std::string& into, const std::string& name, int depth);
  void SaveFile(TCustomFile* f, const std::string& into, const std::string& name);
  void ShowProgress(uint64_t total, uint64_t size, const std::string& name);
  int Dialog(const DialogRequest& r);
  void Say(const std::string& text) const { SayAs(command_, text); }

  const char* command_;
  FileSystem& fs_;
  TCustomDrive& drive_;
  const Destination& dest_;
  const std::string mode_;
  std::vector<char> buffer_;
  ProgressLine progress_;
  bool overwriteFiles_ = false, overwriteAllDirs_ = false;
  std::string target_;  // the library path of the step
  bool failed_ = false;  // the step failed, and said so
  std::map<int64_t, TCustomDirectory*> pathFolders_;
  std::set<int64_t> liveFolders_;
  const std::unordered_set<TObject*>* keep_ = nullptr;
};
