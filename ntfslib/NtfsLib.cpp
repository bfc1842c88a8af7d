// The nine calls of NtfsLib over the MFT pass: a handle, its callbacks and
// volume, and the scan thread that reports what the pass found.
#include "NtfsLib.h"

#include <atomic>
#include <cctype>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

#include "MftScan.h"
#include "WinApi.h"

static_assert(sizeof(NtfsLibFindData) == 592, "NtfsLibFindData must keep the find record's layout");

namespace {

using ntfslib::FileName;
using ntfslib::MftScan;

struct Callbacks {
  NtfsLibStartCallback start = nullptr;
  void* startUser = nullptr;
  NtfsLibItemCallback item = nullptr;
  void* itemUser = nullptr;
  NtfsLibFinishCallback finish = nullptr;
  void* finishUser = nullptr;
};

// A scan thread, once started, is collected (joined) by the next call from
// another thread, or detached when the handle is destroyed from one of its
// own callbacks. Calls that wait for it do so on a condition, not holding the
// lock, so the thread can take the lock in its callbacks' calls too.
struct Library {
  std::mutex lock;  // everything below that is not atomic
  std::condition_variable ended;
  Callbacks callbacks;
  char letter = 0;

  std::thread thread;
  bool running = false;  // the scan thread has callbacks left to make
  int waiting = 0;       // calls from other threads waiting for it to end
  std::atomic<std::thread::id> scanThread{};
  std::atomic<bool> abort{false};
  std::atomic<bool> destroyed{false};

  bool OnScanThread() const { return scanThread.load() == std::this_thread::get_id(); }
  // Destroyed, and no thread will touch the handle again: whoever sees this
  // first, under the lock, frees it.
  bool Unused() const { return destroyed && !running && waiting == 0; }
};

// The item being reported on this thread, for NtfsLibGetItemPath.
struct CurrentItem {
  const NtfsLibFindData* item = nullptr;
  const std::u16string* folder = nullptr;
};
thread_local CurrentItem current;

class Volume {
 public:
  explicit Volume(char letter) {
    char name[] = "\\\\.\\X:";
    name[4] = letter;
    h_ = CreateFileA(name, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
  }
  ~Volume() {
    if (ok()) CloseHandle(h_);
  }
  Volume(const Volume&) = delete;
  Volume& operator=(const Volume&) = delete;

  bool ok() const { return h_ != INVALID_HANDLE_VALUE; }
  size_t Read(uint64_t offset, void* buffer, size_t len) {
    LONG high = static_cast<LONG>(offset >> 32);
    SetLastError(ERROR_SUCCESS);
    if (SetFilePointer(h_, static_cast<LONG>(static_cast<uint32_t>(offset)), &high, FILE_BEGIN) ==
            INVALID_SET_FILE_POINTER &&
        GetLastError() != ERROR_SUCCESS)
      return 0;
    DWORD got = 0;
    return ReadFile(h_, buffer, static_cast<DWORD>(len), &got, nullptr) ? got : 0;
  }
  bool Geometry(ntfslib::Geometry& g) {
    uint8_t boot[512];
    return ok() && Read(0, boot, sizeof boot) == sizeof boot && ntfslib::ParseBootSector(boot, sizeof boot, g);
  }

 private:
  HANDLE h_;
};

// "X:\", "X:" or "\\?\X:\": the letter in upper case, else 0.
char LetterOf(const NtfsLibChar* mountPoint) {
  std::u16string s(mountPoint);
  if (s.compare(0, 4, u"\\\\?\\") == 0) s.erase(0, 4);
  if (s.size() < 2 || s.size() > 3 || s[1] != u':' || (s.size() == 3 && s[2] != u'\\')) return 0;
  if (s[0] > 0x7F || !std::isalpha(static_cast<int>(s[0]))) return 0;
  return static_cast<char>(std::toupper(static_cast<int>(s[0])));
}

void SplitTime(uint64_t t, uint32_t out[2]) {
  out[0] = static_cast<uint32_t>(t);
  out[1] = static_cast<uint32_t>(t >> 32);
}

void CopyName(std::u16string_view name, NtfsLibChar* out, size_t room) {
  const size_t n = std::min(name.size(), room - 1);
  if (n) std::memcpy(out, name.data(), n * sizeof(NtfsLibChar));
  out[n] = 0;
}

void FillItem(const MftScan& scan, const FileName& n, NtfsLibFindData& item) {
  constexpr uint32_t kWindowsBits = 0x7FFF, kDirectory = 0x10, kNormal = 0x80;
  const ntfslib::FileRecord& r = scan.records[n.record];
  std::memset(&item, 0, sizeof item);
  constexpr uint32_t kSystem = 0x04, kReparse = 0x400;
  item.dwFileAttributes = (r.attributes & kWindowsBits) | (r.directory ? kDirectory : 0);
  if (r.special && (r.attributes & kSystem)) item.dwFileAttributes |= kReparse;
  if (item.dwFileAttributes == 0) item.dwFileAttributes = kNormal;
  SplitTime(r.creationTime, item.ftCreationTime);
  SplitTime(r.accessTime, item.ftLastAccessTime);
  SplitTime(r.writeTime, item.ftLastWriteTime);
  const uint64_t size = r.directory ? 0 : r.dataSize;
  item.nFileSizeHigh = static_cast<uint32_t>(size >> 32);
  item.nFileSizeLow = static_cast<uint32_t>(size);
  item.dwReserved0 = n.record;
  CopyName(scan.Text(n), item.cFileName, 260);
  CopyName(scan.DosAliasOf(n), item.cAlternateFileName, 14);
}

bool Stopping(const Library* lib) { return lib->abort.load() || lib->destroyed.load(); }

// False when the scan could not cover the whole volume: no MFT, or part of it unreadable.
bool Report(Library* lib, const Callbacks& cb, char letter) {
  Volume volume(letter);
  ntfslib::Geometry g;
  if (!volume.Geometry(g)) return false;
  MftScan scan;
  if (!scan.Load(g, [&](uint64_t off, void* buf, size_t len) { return volume.Read(off, buf, len); }, lib->abort))
    return false;
  NtfsLibFindData item;
  std::u16string folder;
  int32_t folderNode = -1;
  struct ClearCurrent {
    ~ClearCurrent() { current = {}; }
  } clear;
  for (const FileName& n : scan.names) {
    if (Stopping(lib)) return false;
    if (!scan.Reportable(n)) continue;
    const int32_t node = scan.FolderOf(n);
    if (node < 0) continue;
    if (node != folderNode) {
      folder = scan.FolderPath(node);
      folderNode = node;
    }
    FillItem(scan, n, item);
    current = {&item, &folder};
    if (cb.item) cb.item(lib, &item, cb.itemUser);
    current = {};
  }
  return scan.complete;
}

// Start and finish come in pairs, even for a scan aborted before it began;
// after a destroy from a callback no call comes at all.
void ScanThread(Library* lib, Callbacks cb, char letter) {
  lib->scanThread = std::this_thread::get_id();
  if (cb.start) cb.start(lib, cb.startUser);
  bool whole = false;
  try {
    whole = Report(lib, cb, letter);
  } catch (...) {
    // Out of memory on a huge volume, or a callback that threw: the scan ends here.
  }
  // The finish has one flag: a scan that missed part of the volume ended
  // early as surely as an aborted one, and a host must not take it for whole.
  if (cb.finish && !lib->destroyed) cb.finish(lib, lib->abort || !whole ? 1 : 0, cb.finishUser);
  bool unused;
  {
    std::lock_guard guard(lib->lock);
    lib->running = false;
    lib->scanThread = std::thread::id();
    unused = lib->Unused();
    lib->ended.notify_all();
  }
  if (unused) delete lib;  // destroyed from a callback, and nobody waits for us
}

Library* AsLibrary(void* handle) { return static_cast<Library*>(handle); }

// Not on the scan thread, lock held: asks the scan to stop, waits for its
// last callback to return and collects the thread.
void WaitForScanEnd(Library* lib, std::unique_lock<std::mutex>& guard) {
  if (lib->running) {
    lib->abort = true;
    ++lib->waiting;
    lib->ended.wait(guard, [&] { return !lib->running; });
    --lib->waiting;
  }
  if (lib->thread.joinable()) lib->thread.join();  // past its last use of the lock
}

// Not through the exported names: those a host may interpose. A handle
// destroyed while other threads wait here is freed by the last of them.
int32_t Abort(Library* lib, bool destroy) {
  std::unique_lock guard(lib->lock);
  if (lib->OnScanThread()) {
    // The thread can't wait for itself: it stops once the callback returns.
    lib->abort = true;
    if (!destroy) return NTFSLIB_E_SCAN_THREAD;
    lib->destroyed = true;                              // and makes no further call
    if (lib->thread.joinable()) lib->thread.detach();  // it frees the handle at its end, unless a caller waits
    return NTFSLIB_OK;
  }
  WaitForScanEnd(lib, guard);
  if (destroy) lib->destroyed = true;  // only now: a scan that ran still got its finish
  const bool unused = lib->Unused();
  guard.unlock();
  if (unused) delete lib;
  return NTFSLIB_OK;
}

template <class F>
int32_t SetCallback(void* handle, F&& set) {
  Library* lib = AsLibrary(handle);
  if (!lib) return NTFSLIB_E_HANDLE;
  std::lock_guard guard(lib->lock);
  set(lib->callbacks);
  return NTFSLIB_OK;
}

}  // namespace

extern "C" {

void* NTFSLIB_CALL NtfsLibCreate(void) { return new (std::nothrow) Library; }

int32_t NTFSLIB_CALL NtfsLibDestroy(void* handle) {
  Library* lib = AsLibrary(handle);
  return lib ? Abort(lib, true) : NTFSLIB_E_HANDLE;
}

int32_t NTFSLIB_CALL NtfsLibSetStartCallback(void* handle, NtfsLibStartCallback callback, void* user) {
  return SetCallback(handle, [&](Callbacks& c) { c.start = callback, c.startUser = user; });
}

int32_t NTFSLIB_CALL NtfsLibSetItemCallback(void* handle, NtfsLibItemCallback callback, void* user) {
  return SetCallback(handle, [&](Callbacks& c) { c.item = callback, c.itemUser = user; });
}

int32_t NTFSLIB_CALL NtfsLibSetFinishCallback(void* handle, NtfsLibFinishCallback callback, void* user) {
  return SetCallback(handle, [&](Callbacks& c) { c.finish = callback, c.finishUser = user; });
}

int32_t NTFSLIB_CALL NtfsLibSetMountPoint(void* handle, const NtfsLibChar* mountPoint) {
  Library* lib = AsLibrary(handle);
  if (!lib || !mountPoint) return NTFSLIB_E_HANDLE;
  const char letter = LetterOf(mountPoint);
  int32_t status = NTFSLIB_E_MOUNTPOINT;
  if (letter) {
    Volume volume(letter);
    ntfslib::Geometry g;
    status = !volume.ok() ? NTFSLIB_E_MOUNTPOINT : volume.Geometry(g) ? NTFSLIB_OK : NTFSLIB_E_NOT_NTFS;
  }
  std::lock_guard guard(lib->lock);
  lib->letter = status == NTFSLIB_OK ? letter : 0;
  return status;
}

int32_t NTFSLIB_CALL NtfsLibScanVolume(void* handle) {
  Library* lib = AsLibrary(handle);
  if (!lib) return NTFSLIB_E_HANDLE;
  if (lib->OnScanThread()) return NTFSLIB_E_SCAN_THREAD;
  std::unique_lock guard(lib->lock);
  if (lib->running) return NTFSLIB_E_BUSY;
  WaitForScanEnd(lib, guard);  // ended by itself, not yet collected
  if (!lib->letter) return NTFSLIB_E_NO_VOLUME;
  lib->abort = false;
  lib->running = true;
  try {
    lib->thread = std::thread(ScanThread, lib, lib->callbacks, lib->letter);
  } catch (...) {
    lib->running = false;
    return NTFSLIB_E_THREAD;
  }
  return NTFSLIB_OK;
}

int32_t NTFSLIB_CALL NtfsLibAbortScan(void* handle) {
  Library* lib = AsLibrary(handle);
  return lib ? Abort(lib, false) : NTFSLIB_E_HANDLE;
}

int32_t NTFSLIB_CALL NtfsLibGetItemPath(const NtfsLibFindData* item, NtfsLibChar** path) {
  if (!item || !path) return NTFSLIB_E_HANDLE;
  if (current.item != item || !current.folder) return NTFSLIB_E_NO_ITEM;
  const std::u16string& folder = *current.folder;
  auto* out = static_cast<NtfsLibChar*>(std::malloc((folder.size() + 1) * sizeof(NtfsLibChar)));
  if (!out) return NTFSLIB_E_NO_ITEM;
  std::memcpy(out, folder.data(), folder.size() * sizeof(NtfsLibChar));
  out[folder.size()] = 0;
  *path = out;
  return NTFSLIB_OK;
}

}  // extern "C"
