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

int32_t TMoxVolumeScannerList::Add(IMoxVolumeScanner* AScanner) {
  // The list calls every scanner it holds: a null or invalid one is never stored.
  if (!AScanner || !AScanner->GetIsValid()) return -1;
  const Locked lock(*this, true);
  if (const auto it = Find(FScanners, AScanner); it != FScanners.end()) return int32_t(it - FScanners.begin());
  int32_t index;
  {
    std::lock_guard guard(FItemsLock);
    FScanners.emplace_back(AScanner);
    index = int32_t(FScanners.size() - 1);
  }
  for (const auto& callbacks : FCallbacks) AScanner->RegisterCallbacks(callbacks.get());
  return index;
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
  if (AIndex < 0 || AIndex >= int32_t(FScanners.size())) return nullptr;
  return FScanners[size_t(AIndex)];
}

void TMoxVolumeScannerList::RegisterCallbacks(IMoxVolumeScannerCallbacks* ACallbacks) {
  if (!ACallbacks) return;
  const Locked lock(*this, true);
  if (Find(FCallbacks, ACallbacks) == FCallbacks.end()) {
    std::lock_guard guard(FItemsLock);
    FCallbacks.emplace_back(ACallbacks);
  }
  // Each scanner ignores a receiver it already has.
  for (const auto& scanner : FScanners) scanner->RegisterCallbacks(ACallbacks);
}

void TMoxVolumeScannerList::RevokeCallbacks(IMoxVolumeScannerCallbacks* ACallbacks) {
  const Locked lock(*this, true);
  // Kept alive until every scanner has let go of it too.
  InterfacePtr<IMoxVolumeScannerCallbacks> removed;
  if (const auto it = Find(FCallbacks, ACallbacks); it != FCallbacks.end()) {
    std::lock_guard guard(FItemsLock);
    removed = std::move(*it);
    FCallbacks.erase(it);
  }
  for (const auto& scanner : FScanners) scanner->RevokeCallbacks(ACallbacks);
}

int32_t TMoxVolumeScannerList::ScanVolumes() {
  const Locked lock(*this, false);
  int32_t started = 0;
  for (const auto& scanner : FScanners)
    if (scanner->ScanVolume()) ++started;
  return started;
}

bool TMoxVolumeScannerList::AbortScans() {
  const Locked lock(*this, false);
  bool result = true;
  for (const auto& scanner : FScanners)
    if (!scanner->AbortScan()) result = false;
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
