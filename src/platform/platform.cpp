#include "platform/platform.h"

#include "platform/window.h"

#include <atomic>
#include <chrono>

namespace win {

namespace {
std::atomic<Platform*> gCurrent{nullptr};
}  // namespace

bool EventObject::Wait(DWORD ms) {
  std::unique_lock lock(mutex_);
  auto ready = [this] { return signalled_; };
  if (ms == INFINITE) {
    cv_.wait(lock, ready);
  } else if (!cv_.wait_for(lock, std::chrono::milliseconds(ms), ready)) {
    return false;
  }
  if (!manualReset_) signalled_ = false;
  return true;
}

void EventObject::Set() {
  {
    std::lock_guard lock(mutex_);
    signalled_ = true;
  }
  if (manualReset_) {
    cv_.notify_all();
  } else {
    cv_.notify_one();
  }
}

void EventObject::Reset() {
  std::lock_guard lock(mutex_);
  signalled_ = false;
}

HANDLE HandleTable::Add(std::shared_ptr<KernelObject> object) {
  std::lock_guard lock(mutex_);
  // Handle values are never reused, so a stale handle cannot reach a newer object. They lie above
  // every kernel handle (those stay below 2^26) and below the pseudo-handles and predefined keys,
  // so a backend on the real API tells the table's handles from its own.
  constexpr uintptr_t kAboveKernelHandles = 0x40000000;
  uintptr_t value = kAboveKernelHandles + next_;
  next_ += 4;
  objects_[value] = std::move(object);
  return reinterpret_cast<HANDLE>(value);
}

std::shared_ptr<KernelObject> HandleTable::Get(HANDLE handle) const {
  std::lock_guard lock(mutex_);
  auto it = objects_.find(reinterpret_cast<uintptr_t>(handle));
  return it == objects_.end() ? nullptr : it->second;
}

bool HandleTable::Close(HANDLE handle) {
  std::shared_ptr<KernelObject> object;
  {
    std::lock_guard lock(mutex_);
    auto it = objects_.find(reinterpret_cast<uintptr_t>(handle));
    if (it == objects_.end()) return false;
    object = std::move(it->second);
    objects_.erase(it);
  }
  return true;  // the object itself goes when its last user lets go, outside the lock
}

size_t HandleTable::Count() const {
  std::lock_guard lock(mutex_);
  return objects_.size();
}

Platform::Platform() = default;
Platform::~Platform() {
  if (gCurrent.load() == this) gCurrent.store(nullptr);
}

Platform& Platform::Current() {
  Platform* p = gCurrent.load();
  if (!p) {
    // A program or test that forgot to set the platform up must not limp on.
    __builtin_trap();
  }
  return *p;
}

bool Platform::HasCurrent() { return gCurrent.load() != nullptr; }
void Platform::SetCurrent(Platform* platform) { gCurrent.store(platform); }

std::unique_ptr<IWindows> Platform::SetWindows(std::unique_ptr<IWindows> s) { return Swap(windows_, std::move(s)); }

IWindows& Windows() { return Platform::Current().Windows(); }

std::u16string AnsiToWide(std::string_view ansi) { return Os().MultiByteToWide(CP_ACP, ansi); }
std::string WideToAnsi(std::u16string_view wide) { return Os().WideToMultiByte(CP_ACP, wide); }

}  // namespace win
