#include "platform/winsim/pipes.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <memory>

#include "platform/files.h"
#include "platform/platform.h"

namespace winsim {

using namespace win;

namespace {

// One host descriptor, closed when the last handle to it goes (a duplicate keeps the end open).
struct Descriptor {
  explicit Descriptor(int fd) : fd(fd) {}
  ~Descriptor() { ::close(fd); }
  int fd;
};

class PipeEnd : public KernelObject {
 public:
  PipeEnd(std::shared_ptr<Descriptor> d, bool readable, bool inherit)
      : d_(std::move(d)), readable_(readable), inherit_(inherit) {}
  int fd() const { return d_->fd; }
  bool readable() const { return readable_; }
  bool inherit() const { return inherit_; }
  const std::shared_ptr<Descriptor>& descriptor() const { return d_; }

 private:
  std::shared_ptr<Descriptor> d_;
  bool readable_;
  bool inherit_;
};

}  // namespace

bool CreatePipeHandles(bool inherit, HANDLE* readEnd, HANDLE* writeEnd) {
  int fds[2];
  // Close-on-exec: only a child that is handed an end through its standard handles gets it.
  if (::pipe2(fds, O_CLOEXEC) != 0) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return false;
  }
  *readEnd = Handles().Add(std::make_shared<PipeEnd>(std::make_shared<Descriptor>(fds[0]), true, inherit));
  *writeEnd = Handles().Add(std::make_shared<PipeEnd>(std::make_shared<Descriptor>(fds[1]), false, inherit));
  return true;
}

std::optional<BOOL> ReadPipe(HANDLE handle, void* buffer, DWORD toRead, DWORD* read) {
  auto p = Handles().GetAs<PipeEnd>(handle);
  if (!p) return std::nullopt;
  if (read) *read = 0;
  if (!p->readable()) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  if (toRead == 0) return TRUE;
  ssize_t n;
  do {
    n = ::read(p->fd(), buffer, toRead);
  } while (n < 0 && errno == EINTR);
  if (n < 0) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (n == 0) {
    SetLastError(ERROR_BROKEN_PIPE);
    return FALSE;
  }
  if (read) *read = static_cast<DWORD>(n);
  return TRUE;
}

HANDLE DuplicatePipeHandle(HANDLE handle, bool inherit) {
  auto p = Handles().GetAs<PipeEnd>(handle);
  if (!p) return nullptr;
  return Handles().Add(std::make_shared<PipeEnd>(p->descriptor(), p->readable(), inherit));
}

int InheritableDescriptor(HANDLE handle) {
  auto p = Handles().GetAs<PipeEnd>(handle);
  return p && p->inherit() ? p->fd() : -1;
}

}  // namespace winsim
