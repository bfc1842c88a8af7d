// Paths below a letter's root folder, reached without following a link, so a
// folder the host bound (a save's destination) can hold links that are never
// written through and never lead out of it.
#pragma once

#include <fcntl.h>

#include <memory>
#include <string>

#include "WinApi.h"

constexpr DWORD kErrorAlreadyExists = 183;

DWORD ErrorFromErrno(int e);

// "X:\..." through the letter's root directory, "/..." as it is; empty when
// neither applies.
std::string HostPathOf(const char* path);

// A folder kept open: closed when the last path located in it is done.
using FolderFd = std::shared_ptr<const int>;

// A path below the root folder of a letter, opened as far as its parent.
struct BeneathPath {
  FolderFd folder;       // the parent folder; none for a host path
  std::string leaf;      // "." for the root folder itself; the host path itself when there is no folder
  std::string path;      // as the call gave it, without "\\?\\"
  bool Beneath() const { return folder != nullptr; }
  int At() const { return folder ? *folder : AT_FDCWD; }
  // The same place as a host path, for calls that take only paths.
  std::string HostPath() const;
};

// Where a path-taking call works: the resolved folder and name of a letter
// path, or the current folder and the host path. False with the last error
// set. ".." is taken lexically and stops at the root.
bool Locate(const char* path, BeneathPath& where);

// The same for a path in the folder of besidePath, already located in beside:
// that folder is not looked up again.
bool LocateBeside(const char* besidePath, const BeneathPath& beside, const char* path, BeneathPath& where);

// Called before from is renamed to to: a folder kept for later look-ups
// that the rename may move is looked up again next time.
void ForgetFoldersMovedBy(const BeneathPath& from, const BeneathPath& to);

// Whether the located name is a symbolic link in a bound folder.
bool IsLinkAt(const BeneathPath& where);
