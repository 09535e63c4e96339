// Anonymous pipes of a simulated machine: host pipes behind handles, so that a child started
// with STARTF_USESTDHANDLES writes into them and its creator reads with ReadFile.
#pragma once

#include <optional>

#include "platform/types.h"

namespace winsim {

// Both ends; inherit marks both handles inheritable.
bool CreatePipeHandles(bool inherit, win::HANDLE* readEnd, win::HANDLE* writeEnd);
// ReadFile on a pipe end; nullopt when the handle is no pipe end.
std::optional<win::BOOL> ReadPipe(win::HANDLE handle, void* buffer, win::DWORD toRead, win::DWORD* read);
// A second handle to the same end; nullptr when the handle is no pipe end.
win::HANDLE DuplicatePipeHandle(win::HANDLE handle, bool inherit);
// The host descriptor a child may inherit for this handle, -1 when it is no inheritable pipe end.
int InheritableDescriptor(win::HANDLE handle);

}  // namespace winsim
