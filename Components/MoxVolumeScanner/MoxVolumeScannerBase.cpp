#include "MoxVolumeScannerBase.h"

#include <algorithm>

#include "Assert.h"

namespace {
constexpr const char* kUnit = "MoxVolumeScannerBase";
}

TMoxVolumeScannerBase::TMoxVolumeScannerBase(TMoxVolumeScannerAPI AScannerAPI, const WideString& AMountPoint) {
  MOX_ASSERT(AScannerAPI != vsaAuto, kUnit);
  MOX_ASSERT(AMountPoint.size() >= 3, kUnit);
  if (!AMountPoint.empty()) MOX_ASSERT(AMountPoint.back() == u'\\', kUnit);
  FIsValid = AScannerAPI != vsaAuto && AMountPoint.size() >= 3 && AMountPoint.back() == u'\\';
  if (!FIsValid) SetLastError(ERROR_INVALID_PARAMETER);
  FScannerAPI = AScannerAPI;
  FMountPoint = AMountPoint;
  InitializeCriticalSectionAndSpinCount(&FLock, 400);
}

TMoxVolumeScannerBase::~TMoxVolumeScannerBase() {
  TMoxVolumeScannerBase::Invalidate();
  DeleteCriticalSection(&FLock);
}

void TMoxVolumeScannerBase::Invalidate() {
  FIsValid = false;
  EnterCriticalSection(&FLock);
  // Released outside the vector: a receiver's destructor may call back in.
  auto dropped = std::move(FCallbacks);
  FCallbacks.clear();
  dropped.clear();
  LeaveCriticalSection(&FLock);
}

bool TMoxVolumeScannerBase::GetIsValid() { return FIsValid; }

TMoxVolumeScannerAPI TMoxVolumeScannerBase::GetScannerAPI() { return FScannerAPI; }

WideString TMoxVolumeScannerBase::GetMountPoint() { return FMountPoint; }

void TMoxVolumeScannerBase::RegisterCallbacks(IMoxVolumeScannerCallbacks* ACallbacks) {
  if (!ACallbacks) return;  // the fan-out calls every element: never store a null one
  EnterCriticalSection(&FLock);
  const bool known = std::any_of(FCallbacks.begin(), FCallbacks.end(),
                                 [&](const auto& r) { return r.get() == ACallbacks; });
  if (!known) FCallbacks.emplace_back(ACallbacks);
  LeaveCriticalSection(&FLock);
}

void TMoxVolumeScannerBase::RevokeCallbacks(IMoxVolumeScannerCallbacks* ACallbacks) {
  EnterCriticalSection(&FLock);
  const auto it = std::find_if(FCallbacks.begin(), FCallbacks.end(),
                               [&](const auto& r) { return r.get() == ACallbacks; });
  InterfacePtr<IMoxVolumeScannerCallbacks> removed;
  if (it != FCallbacks.end()) {
    removed = std::move(*it);
    FCallbacks.erase(it);
  }
  LeaveCriticalSection(&FLock);
}

// The count is taken once and the list read afresh for each call: receivers
// registered during a pass wait for the next one, and a receiver revoked
// during a pass shortens it without anything being read past the end. Each
// receiver is held for the length of its own call.
template <class Call>
void TMoxVolumeScannerBase::FanOut(Call&& call) {
  const size_t count = FCallbacks.size();
  for (size_t i = 0; i < count && i < FCallbacks.size(); ++i) {
    InterfacePtr<IMoxVolumeScannerCallbacks> receiver = FCallbacks[i];
    call(receiver.get());
  }
}

// The three events take no reference of their own on AScanner: a scanner's
// destruction waits for its scan thread, so it outlives these calls, and a
// host that lets go of its last reference during a scan is then the one that
// stops the scan and waits for it.
void TMoxVolumeScannerBase::DoStart(IMoxVolumeScanner* AScanner) {
  EnterCriticalSection(&FLock);  // left by DoFinish
  FanOut([&](IMoxVolumeScannerCallbacks* r) { r->OnStart(AScanner); });
}

void TMoxVolumeScannerBase::DoItem(IMoxVolumeScanner* AScanner, const WIN32_FIND_DATAW& AItem) {
  if (AItem.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) return;
  FanOut([&](IMoxVolumeScannerCallbacks* r) { r->OnItem(AScanner, AItem); });
}

void TMoxVolumeScannerBase::DoFinish(IMoxVolumeScanner* AScanner, bool AAborted) {
  struct Leave {
    CRITICAL_SECTION* lock;
    ~Leave() { LeaveCriticalSection(lock); }
  } leave{&FLock};  // a thread that ends must never keep the lock
  FanOut([&](IMoxVolumeScannerCallbacks* r) { r->OnFinish(AScanner, AAborted); });
}
