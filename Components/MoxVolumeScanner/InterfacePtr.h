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
  uint32_t AddRef() override { return static_cast<uint32_t>(FRefCount.fetch_add(1, std::memory_order_relaxed) + 1); }
  uint32_t Release() override {
    const int32_t left = FRefCount.fetch_sub(1, std::memory_order_acq_rel) - 1;
    if (left == 0) {
      // From here on short-lived references taken during destruction move the
      // count around this mark and can never reach zero a second time.
      FRefCount.store(kDestroying, std::memory_order_relaxed);
      if (CanDestroyOnLastRelease()) delete this;
    }
    return static_cast<uint32_t>(left);
  }
  int32_t RefCount() const { return FRefCount.load(std::memory_order_acquire); }

 protected:
  static constexpr int32_t kDestroying = 1 << 30;
  // Called when the last reference goes, before any destructor runs, so an
  // object can stop threads that still call into it; false means the object
  // arranges its own deletion later (a scanner released from its own scan thread).
  virtual bool CanDestroyOnLastRelease() { return true; }

 private:
  std::atomic<int32_t> FRefCount{0};
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
