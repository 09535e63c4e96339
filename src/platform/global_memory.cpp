// Movable memory blocks and the COM stream over one, as kernel32 and ole32 give them. The same on
// every backend: nothing here touches the system.
#include <atomic>
#include <cstring>
#include <mutex>
#include <unordered_set>
#include <vector>

#include "platform/window.h"

namespace win {

namespace {

struct Block {
  std::vector<BYTE> data;
  int locks = 0;
};

// Live blocks, so that a stale or foreign handle is refused instead of freed twice.
std::mutex gBlocksMutex;
std::unordered_set<Block*> gBlocks;

Block* Find(HGLOBAL mem) {
  auto* b = static_cast<Block*>(mem);
  return gBlocks.count(b) ? b : nullptr;
}

class HGlobalStream : public IStream {
 public:
  HGlobalStream(HGLOBAL mem, bool deleteOnRelease) : mem_(mem), deleteOnRelease_(deleteOnRelease) {}

  ULONG AddRef() override { return ++refs_; }
  ULONG Release() override {
    ULONG left = --refs_;
    if (left == 0) {
      if (deleteOnRelease_) GlobalFree(mem_);
      delete this;
    }
    return left;
  }

  HRESULT Read(void* buffer, ULONG size, ULONG* read) override {
    std::lock_guard lock(gBlocksMutex);
    Block* b = Find(mem_);
    if (!b || (!buffer && size)) return E_FAIL;
    size_t n = pos_ >= b->data.size() ? 0 : std::min<size_t>(size, b->data.size() - pos_);
    if (n) std::memcpy(buffer, b->data.data() + pos_, n);
    pos_ += n;
    if (read) *read = static_cast<ULONG>(n);
    return n == size ? S_OK : S_FALSE;
  }

  HRESULT Write(const void* buffer, ULONG size, ULONG* written) override {
    std::lock_guard lock(gBlocksMutex);
    Block* b = Find(mem_);
    if (!b || (!buffer && size)) return E_FAIL;
    if (pos_ + size > b->data.size()) b->data.resize(pos_ + size);
    if (size) std::memcpy(b->data.data() + pos_, buffer, size);
    pos_ += size;
    if (written) *written = size;
    return S_OK;
  }

  HRESULT Seek(LONGLONG move, DWORD origin, ULONGLONG* newPosition) override {
    std::lock_guard lock(gBlocksMutex);
    Block* b = Find(mem_);
    if (!b) return E_FAIL;
    LONGLONG base = origin == STREAM_SEEK_SET ? 0
                    : origin == STREAM_SEEK_CUR ? static_cast<LONGLONG>(pos_)
                    : origin == STREAM_SEEK_END ? static_cast<LONGLONG>(b->data.size())
                                                : -1;
    if (base < 0 || base + move < 0) return E_INVALIDARG;
    pos_ = static_cast<size_t>(base + move);
    if (newPosition) *newPosition = pos_;
    return S_OK;
  }

 private:
  ~HGlobalStream() override = default;

  HGLOBAL mem_;
  bool deleteOnRelease_;
  std::atomic<ULONG> refs_{1};
  size_t pos_ = 0;
};

}  // namespace

HGLOBAL GlobalAlloc(UINT flags, SIZE_T bytes) {
  auto* b = new (std::nothrow) Block;
  if (!b) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  try {
    b->data.assign(bytes, 0);
  } catch (...) {
    delete b;
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  std::lock_guard lock(gBlocksMutex);
  gBlocks.insert(b);
  return b;
}

void* GlobalLock(HGLOBAL mem) {
  std::lock_guard lock(gBlocksMutex);
  Block* b = Find(mem);
  if (!b) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  ++b->locks;
  // A zero-byte block has nothing to point at, as on Windows.
  return b->data.empty() ? nullptr : b->data.data();
}

BOOL GlobalUnlock(HGLOBAL mem) {
  std::lock_guard lock(gBlocksMutex);
  Block* b = Find(mem);
  if (!b) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (b->locks > 0) --b->locks;
  SetLastError(NO_ERROR);
  return b->locks > 0 ? TRUE : FALSE;
}

HGLOBAL GlobalFree(HGLOBAL mem) {
  if (!mem) return nullptr;
  std::lock_guard lock(gBlocksMutex);
  Block* b = Find(mem);
  if (!b) {
    SetLastError(ERROR_INVALID_HANDLE);
    return mem;
  }
  gBlocks.erase(b);
  delete b;
  return nullptr;
}

SIZE_T GlobalSize(HGLOBAL mem) {
  std::lock_guard lock(gBlocksMutex);
  Block* b = Find(mem);
  if (!b) {
    SetLastError(ERROR_INVALID_HANDLE);
    return 0;
  }
  return b->data.size();
}

HRESULT CreateStreamOnHGlobal(HGLOBAL mem, BOOL deleteOnRelease, IStream** stream) {
  if (!stream) return E_INVALIDARG;
  *stream = nullptr;
  if (!mem) {
    mem = GlobalAlloc(GMEM_MOVEABLE, 0);
    if (!mem) return E_FAIL;
  } else {
    std::lock_guard lock(gBlocksMutex);
    if (!Find(mem)) return E_INVALIDARG;
  }
  *stream = new HGlobalStream(mem, deleteOnRelease != FALSE);
  return S_OK;
}

}  // namespace win
