#include "MoxVolumeScannerList.h"

#include <algorithm>

#include "Assert.h"

namespace {

constexpr const char* kUnit = "MoxVolumeScannerList";

template <class T>
auto Find(std::vector<InterfacePtr<T>>& items, T* item) {
  return std::find_if(items.begin(), items.end(), [&](const auto& p) { return p.get() == item; });
}

// Holds the list's lock for a scope, also when a scanner raises.
class Locked {
 public:
  Locked(IReadWriteSync& sync, bool write) : sync_(sync), write_(write) {
    if (write_)
      sync_.BeginWrite();
    else
      sync_.BeginRead();
  }
  ~Locked() {
    if (write_)
      sync_.EndWrite();
    else
      sync_.EndRead();
  }

 private:
  IReadWriteSync& sync_;
  const bool write_;
};

}  // namespace

InterfacePtr<IMoxVolumeScannerList> MoxCreateVolumeScannerList() {
  return InterfacePtr<IMoxVolumeScannerList>(new TMoxVolumeScannerList);
}

TMoxVolumeScannerList::~TMoxVolumeScannerList() {
  // Receivers go first, then the scanners (each release may wait for its scan).
  std::vector<InterfacePtr<IMoxVolumeScannerCallbacks>> callbacks;
  std::vector<InterfacePtr<IMoxVolumeScanner>> scanners;
  {
    std::lock_guard guard(FItemsLock);
    callbacks.swap(FCallbacks);
    scanners.swap(FScanners);
  }
  callbacks.clear();
  scanners.clear();
}

void TMoxVolumeScannerList::BeginRead() { FSync.BeginRead(); }
void TMoxVolumeScannerList::EndRead() { FSync.EndRead(); }
bool TMoxVolumeScannerList::BeginWrite() { return FSync.BeginWrite(); }
void TMoxVolumeScannerList::EndWrite() { FSync.EndWrite(); }

// Scanners are called with none of the list's locks held but FWriters, which
// readers never take: a receiver that reads the list on a scan thread never
// waits for a writer that waits for that very scan.
int32_t TMoxVolumeScannerList::Add(IMoxVolumeScanner* AScanner) {
  // The list calls every scanner it holds: a null or invalid one is never stored.
  if (!AScanner || !AScanner->GetIsValid()) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return -1;
  }
  const std::lock_guard writers(FWriters);
  {
    const Locked lock(*this, false);
    if (const auto it = Find(FScanners, AScanner); it != FScanners.end()) return int32_t(it - FScanners.begin());
  }
  // Receivers first, so that no scan started through the list misses them.
  for (const auto& callbacks : FCallbacks) AScanner->RegisterCallbacks(callbacks.get());
  const Locked lock(*this, true);
  std::lock_guard guard(FItemsLock);
  FScanners.emplace_back(AScanner);
  return int32_t(FScanners.size() - 1);
}

InterfacePtr<IMoxVolumeScannerListEnumerator> TMoxVolumeScannerList::GetEnumerator() {
  return InterfacePtr<IMoxVolumeScannerListEnumerator>(new TMoxVolumeScannerListEnumerator(this));
}

int32_t TMoxVolumeScannerList::GetCount() {
  std::lock_guard guard(FItemsLock);
  return int32_t(FScanners.size());
}

InterfacePtr<IMoxVolumeScanner> TMoxVolumeScannerList::GetItem(int32_t AIndex) {
  const Locked lock(*this, false);
  if (AIndex < 0 || AIndex >= int32_t(FScanners.size())) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  return FScanners[size_t(AIndex)];
}

std::vector<InterfacePtr<IMoxVolumeScanner>> TMoxVolumeScannerList::Scanners() {
  const Locked lock(*this, false);
  return FScanners;
}

void TMoxVolumeScannerList::RegisterCallbacks(IMoxVolumeScannerCallbacks* ACallbacks) {
  if (!ACallbacks) return;
  const std::lock_guard writers(FWriters);
  if (Find(FCallbacks, ACallbacks) == FCallbacks.end()) {
    const Locked lock(*this, true);
    FCallbacks.emplace_back(ACallbacks);
  }
  // Each scanner ignores a receiver it already has.
  for (const auto& scanner : Scanners()) scanner->RegisterCallbacks(ACallbacks);
}

void TMoxVolumeScannerList::RevokeCallbacks(IMoxVolumeScannerCallbacks* ACallbacks) {
  const std::lock_guard writers(FWriters);
  // Kept alive until every scanner has let go of it too.
  InterfacePtr<IMoxVolumeScannerCallbacks> removed;
  if (const auto it = Find(FCallbacks, ACallbacks); it != FCallbacks.end()) {
    const Locked lock(*this, true);
    removed = std::move(*it);
    FCallbacks.erase(it);
  }
  for (const auto& scanner : Scanners()) scanner->RevokeCallbacks(ACallbacks);
}

int32_t TMoxVolumeScannerList::ScanVolumes() {
  int32_t started = 0;
  for (const auto& scanner : Scanners())
    if (scanner->ScanVolume()) ++started;
  return started;
}

bool TMoxVolumeScannerList::AbortScans() {
  bool result = true;
  for (const auto& scanner : Scanners())
    if (!scanner->AbortScan()) result = false;  // its reason stays the last error
  return result;
}

TMoxVolumeScannerListEnumerator::TMoxVolumeScannerListEnumerator(IMoxVolumeScannerList* AList) : FList(AList) {
  MOX_ASSERT(FList, kUnit);
  if (FList) {
    FList->BeginRead();  // held until this enumerator dies
    FCount = FList->GetCount();
  }
}

TMoxVolumeScannerListEnumerator::~TMoxVolumeScannerListEnumerator() {
  FCurrent = nullptr;
  MOX_ASSERT(FList, kUnit);
  if (FList) FList->EndRead();
}

bool TMoxVolumeScannerListEnumerator::MoveNext() {
  FCurrent = nullptr;
  MOX_ASSERT(FList, kUnit);
  if (FList && FIndex < FCount) {
    FCurrent = FList->GetItem(FIndex);
    ++FIndex;
  }
  return static_cast<bool>(FCurrent);
}

InterfacePtr<IMoxVolumeScanner> TMoxVolumeScannerListEnumerator::GetCurrent() {
  MOX_ASSERT(FCurrent, kUnit);
  return FCurrent;
}
