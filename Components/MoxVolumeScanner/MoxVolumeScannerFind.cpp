#include "MoxVolumeScannerFind.h"

#include "Assert.h"

namespace {

constexpr const char* kUnit = "MoxVolumeScannerFind";
const WideString kLongPathPrefix = u"\\\\?\\";

bool IsDotName(const WCHAR* name) {
  return name[0] == u'.' && (name[1] == 0 || (name[1] == u'.' && name[2] == 0));
}

}  // namespace

TMoxVolumeScannerFind::TMoxVolumeScannerFind(const WideString& AMountPoint)
    : TMoxVolumeScannerThreaded(vsaFind, AMountPoint, kUnit) {
  if (!FIsValid) return;
  WIN32_FIND_DATAW probe;
  const HANDLE search = FindFirstFileW((AMountPoint + u"*").c_str(), &probe);
  if (search == INVALID_HANDLE_VALUE) {
    const DWORD why = GetLastError();
    Invalidate();
    SetLastError(why);
  } else {
    FindClose(search);
  }
}

TMoxVolumeScannerFind::~TMoxVolumeScannerFind() { Invalidate(); }

void TMoxVolumeScannerFind::ReleaseScanState() { FCurrentPath = nullptr; }

WideString TMoxVolumeScannerFind::GetCurrentPath() {
  // The text belongs to the running walk: only its own thread may read it.
  if (GetCurrentThreadId() != FThreadId) return {};
  const WCHAR* path = FCurrentPath.load(std::memory_order_relaxed);
  return path ? WideString(path) : WideString();
}

void TMoxVolumeScannerFind::RunScan() {
  WideString root = GetMountPoint();
  if (!(root.size() >= 4 && root.compare(0, 4, kLongPathPrefix) == 0)) root = kLongPathPrefix + root;
  FSkipped.clear();
  FindFiles(root);
}

// Read access to every folder where the process may have it; a failure only
// means fewer folders are seen. (No file-system redirection exists here.)
void TMoxVolumeScannerFind::InitThread() { EnableBackupPrivilegeForThread(); }

std::vector<WideString> TMoxVolumeScannerFind::SkippedFolders() { return FSkipped; }

void TMoxVolumeScannerFind::FindFiles(const WideString& ARoot) {
  // Depth-first and pre-order, each folder's entries as the system lists
  // them. The open folders are kept here rather than on the stack, so the
  // walk goes as deep as the host lets folders be opened.
  struct Level {
    HANDLE search;
    WideString folder;
    WIN32_FIND_DATAW entry;
  };
  std::vector<Level> open;
  struct Closer {
    std::vector<Level>& levels;
    ~Closer() {
      for (Level& l : levels) FindClose(l.search);
    }
  } closer{open};
  auto enter = [&](WideString folder) {
    Level level{INVALID_HANDLE_VALUE, std::move(folder), {}};
    level.search = FindFirstFileW((ARoot + level.folder + u"*").c_str(), &level.entry);
    if (level.search == INVALID_HANDLE_VALUE)
      FSkipped.push_back(level.folder);  // reported, not silently dropped
    else
      open.push_back(std::move(level));
  };
  enter(WideString());
  bool fresh = true;  // the top level's entry has not been looked at yet
  while (!open.empty() && !FAbort.load(std::memory_order_relaxed)) {
    Level& level = open.back();
    if (!fresh && !FindNextFileW(level.search, &level.entry)) {
      FindClose(level.search);
      open.pop_back();
      continue;
    }
    fresh = false;
    const WIN32_FIND_DATAW& entry = level.entry;
    const WCHAR* name = entry.cFileName;
    if ((entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) || name[0] == 0 || IsDotName(name)) continue;
    FCurrentPath.store(level.folder.c_str(), std::memory_order_relaxed);
    try {
      DoItem(this, entry);
    } catch (...) {
      FCurrentPath.store(nullptr, std::memory_order_relaxed);
      throw;
    }
    FCurrentPath.store(nullptr, std::memory_order_relaxed);
    if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
      size_t len = 0;
      while (len < MAX_PATH && name[len] != 0) ++len;
      const size_t before = open.size();
      enter(level.folder + WideString(name, len) + u"\\");
      fresh = open.size() > before;
    }
  }
}
