// One object through which a host drives the scanners of several volumes
// together: every receiver registered on the list is registered on every
// scanner (also on scanners added later), scans start and abort together,
// and the list can be enumerated under its read lock.
//
// The list is itself a multi-reader/exclusive-writer lock and exposes it.
// Add, RegisterCallbacks and RevokeCallbacks write; GetItem and every live
// enumerator read, so a writer waits until the enumerators other threads
// hold are gone. The list never calls a scanner with its lock held: a
// receiver may read the list (GetCount, GetItem, an enumerator it lets go of
// before returning) while a host thread writes it. Add, RegisterCallbacks
// and RevokeCallbacks wait for the running scans of the scanners they call
// (a scanner's registration waits for its scan), ScanVolumes and AbortScans
// for the scans they stop: so a receiver must not call those five, nor hold
// an enumerator, on the list of its own scanner. Every method may be called
// from any thread. Scanners stay until the list dies.
#pragma once

#include <mutex>
#include <vector>

#include "MoxVolumeScannerIntf.h"
#include "RWSync.h"

// The runtime's read/write-sync interface.
struct IReadWriteSync : IInterface {
  virtual void BeginRead() = 0;   // slot 3
  virtual void EndRead() = 0;     // slot 4
  virtual bool BeginWrite() = 0;  // slot 5
  virtual void EndWrite() = 0;    // slot 6

 protected:
  ~IReadWriteSync() = default;
};

struct IMoxVolumeScannerListEnumerator : IInterface {
  virtual bool MoveNext() = 0;                                 // slot 3
  virtual InterfacePtr<IMoxVolumeScanner> GetCurrent() = 0;  // slot 4

 protected:
  ~IMoxVolumeScannerListEnumerator() = default;
};

struct IMoxVolumeScannerList : IReadWriteSync {
  // The scanner's index (the old one when it is already there); negative,
  // and nothing stored, for a null or invalid scanner.
  virtual int32_t Add(IMoxVolumeScanner* AScanner) = 0;                                     // slot 7
  // Holds the read lock until its last reference goes; use it on one thread.
  virtual InterfacePtr<IMoxVolumeScannerListEnumerator> GetEnumerator() = 0;              // slot 8
  virtual int32_t GetCount() = 0;                                                           // slot 9
  virtual InterfacePtr<IMoxVolumeScanner> GetItem(int32_t AIndex) = 0;                     // slot 10
  virtual void RegisterCallbacks(IMoxVolumeScannerCallbacks* ACallbacks) = 0;              // slot 11
  virtual void RevokeCallbacks(IMoxVolumeScannerCallbacks* ACallbacks) = 0;                // slot 12
  // How many scans started; one that fails to start does not stop the others.
  virtual int32_t ScanVolumes() = 0;                                                        // slot 13
  // Returns once every scan has stopped; False when any scanner refused.
  virtual bool AbortScans() = 0;                                                            // slot 14

 protected:
  ~IMoxVolumeScannerList() = default;
};

InterfacePtr<IMoxVolumeScannerList> MoxCreateVolumeScannerList();

class TMoxVolumeScannerList : public TInterfacedObject<IMoxVolumeScannerList> {
 public:
  TMoxVolumeScannerList() = default;
  ~TMoxVolumeScannerList() override;

  void BeginRead() override;
  void EndRead() override;
  bool BeginWrite() override;
  void EndWrite() override;

  int32_t Add(IMoxVolumeScanner* AScanner) override;
  InterfacePtr<IMoxVolumeScannerListEnumerator> GetEnumerator() override;
  int32_t GetCount() override;
  InterfacePtr<IMoxVolumeScanner> GetItem(int32_t AIndex) override;
  void RegisterCallbacks(IMoxVolumeScannerCallbacks* ACallbacks) override;
  void RevokeCallbacks(IMoxVolumeScannerCallbacks* ACallbacks) override;
  int32_t ScanVolumes() override;
  bool AbortScans() override;

 private:
  // A copy taken under the read lock, to call with no lock held.
  std::vector<InterfacePtr<IMoxVolumeScanner>> Scanners();

  TMultiReadExclusiveWriteSynchronizer FSync;
  std::mutex FWriters;  // one Add, RegisterCallbacks or RevokeCallbacks at a time
  // Changed only under the write lock and FItemsLock; read under either lock.
  std::mutex FItemsLock;
  std::vector<InterfacePtr<IMoxVolumeScanner>> FScanners;
  // Changed under FWriters and the write lock; read under FWriters.
  std::vector<InterfacePtr<IMoxVolumeScannerCallbacks>> FCallbacks;
};

class TMoxVolumeScannerListEnumerator : public TInterfacedObject<IMoxVolumeScannerListEnumerator> {
 public:
  explicit TMoxVolumeScannerListEnumerator(IMoxVolumeScannerList* AList);
  ~TMoxVolumeScannerListEnumerator() override;

  bool MoveNext() override;
  InterfacePtr<IMoxVolumeScanner> GetCurrent() override;

 private:
  InterfacePtr<IMoxVolumeScannerList> FList;
  int32_t FCount = 0;  // scanners when the enumerator was made
  int32_t FIndex = 0;  // next to visit
  InterfacePtr<IMoxVolumeScanner> FCurrent;
};
