// Reference-counted interfaces: the basic interface every scanner interface
// derives from, a reference-counted object base implementing it, and a small
// intrusive smart pointer that owns one reference.
#pragma once

#include <atomic>
#include <cstdint>
#include <utility>

using HRESULT = int32_t;
constexpr HRESULT S_OK = 0;
constexpr HRESULT E_NOINTERFACE = static_cast<HRESULT>(0x80004002);

struct TGUID {
  uint32_t D1;
  uint16_t D2;
  uint16_t D3;
  uint8_t D4[8];
};

// Slots 0-2 of every interface. Objects die with their last Release.
struct IInterface {
  virtual HRESULT QueryInterface(const TGUID& iid, void** obj) = 0;
  virtual uint32_t AddRef() = 0;
  virtual uint32_t Release() = 0;

 protected:
  ~IInterface() = default;  // never deleted through an interface
};

// Implements the three basic slots for every interface in Interfaces (one
// reference count shared by all). The count starts at 0: the first
// InterfacePtr that adopts a new object takes the first reference.
//
// An object that raises events on a thread of its own (a scanner) counts the
// references taken on that thread apart from the others, so that it can tell
// the last reference of its owners from the short holds its receivers take:
// when an owner lets go and only those holds are left, the object is told
// first (LastOuterReleasing), while the owner still holds it.
template <class... Interfaces>
class TInterfacedObject : public Interfaces... {
 public:
  TInterfacedObject() = default;
  TInterfacedObject(const TInterfacedObject&) = delete;
  TInterfacedObject& operator=(const TInterfacedObject&) = delete;
  virtual ~TInterfacedObject() = default;

  // No interface identifiers: interfaces are only handed out, never queried.
  HRESULT QueryInterface(const TGUID&, void** obj) override {
    if (obj) *obj = nullptr;
    return E_NOINTERFACE;
  }
  uint32_t AddRef() override {
    const uint64_t step = OnEventThread() ? kOne | 1 : kOne;
    return static_cast<uint32_t>((FRefs.fetch_add(step, std::memory_order_relaxed) + step) >> 32);
  }
  uint32_t Release() override {
    const bool eventThread = OnEventThread();
    bool told = false;
    uint64_t v = FRefs.load(std::memory_order_relaxed);
    for (;;) {
      const uint32_t total = static_cast<uint32_t>(v >> 32), held = static_cast<uint32_t>(v);
      if (!eventThread && !told && total > 1 && total - 1 == held) {
        // Still holding this reference: the object may wait for its thread.
        told = true;
        LastOuterReleasing();
        v = FRefs.load(std::memory_order_relaxed);
        continue;
      }
      const uint64_t next = v - kOne - (eventThread && held > 0 ? 1 : 0);
      if (FRefs.compare_exchange_weak(v, next, std::memory_order_acq_rel)) {
        v = next;
        break;
      }
    }
    const uint32_t left = static_cast<uint32_t>(v >> 32);
    if (left == 0) {
      // From here on short-lived references taken during destruction move the
      // count around this mark and can never reach zero a second time.
      FRefs.store(uint64_t(kDestroying) << 32, std::memory_order_relaxed);
      if (CanDestroyOnLastRelease()) delete this;
    }
    return left;
  }
  int32_t RefCount() const { return static_cast<int32_t>(FRefs.load(std::memory_order_acquire) >> 32); }

 protected:
  static constexpr int32_t kDestroying = 1 << 30;
  // Called when the last reference goes, before any destructor runs, so an
  // object can stop threads that still call into it; false means the object
  // arranges its own deletion later (a scanner released from its own scan thread).
  virtual bool CanDestroyOnLastRelease() { return true; }
  // True on the thread the object raises its events on, while it does.
  virtual bool OnEventThread() const { return false; }
  // An owner is letting go of the last reference not taken on the event
  // thread; it still holds it during this call.
  virtual void LastOuterReleasing() {}
  // The event thread is done: what it still holds (a receiver that kept a
  // reference) now counts as anybody's.
  void ForgetEventReferences() { FRefs.fetch_and(~uint64_t(0xFFFFFFFFu), std::memory_order_acq_rel); }

 private:
  static constexpr uint64_t kOne = uint64_t(1) << 32;
  std::atomic<uint64_t> FRefs{0};  // high half: references; low half: those taken on the event thread
};

// Owns one reference to an interface (or any class with AddRef/Release).
template <class T>
class InterfacePtr {
 public:
  InterfacePtr() = default;
  InterfacePtr(std::nullptr_t) {}
  // Takes a new reference.
  explicit InterfacePtr(T* p) : p_(p) {
    if (p_) p_->AddRef();
  }
  InterfacePtr(const InterfacePtr& o) : InterfacePtr(o.p_) {}
  InterfacePtr(InterfacePtr&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  template <class U>
  InterfacePtr(const InterfacePtr<U>& o) : InterfacePtr(static_cast<T*>(o.get())) {}
  ~InterfacePtr() { reset(); }

  InterfacePtr& operator=(InterfacePtr o) noexcept {
    std::swap(p_, o.p_);
    return *this;
  }

  void reset() {
    if (T* p = std::exchange(p_, nullptr)) p->Release();
  }
  // Hands the reference to the caller.
  T* detach() { return std::exchange(p_, nullptr); }
  // Adopts a reference the caller already owns.
  static InterfacePtr Attach(T* p) {
    InterfacePtr r;
    r.p_ = p;
    return r;
  }

  T* get() const { return p_; }
  T* operator->() const { return p_; }
  T& operator*() const { return *p_; }
  explicit operator bool() const { return p_ != nullptr; }
  friend bool operator==(const InterfacePtr& a, const InterfacePtr& b) { return a.p_ == b.p_; }

 private:
  T* p_ = nullptr;
};
