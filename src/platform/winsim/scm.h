// The winsim service manager's pieces that other parts of the backend and tests reach: devices of
// running drivers, and held service states.
#pragma once

#include <string>
#include <string_view>

#include "platform/types.h"
#include "platform/winsim/machine.h"

namespace winsim {

// "\\.\NAME" (also "\\?\GLOBALROOT\Device\NAME"-free forms are not modelled).
bool IsDevicePath(std::u16string_view path);
// Opens the device of a running kernel-driver service named as the device; INVALID_HANDLE_VALUE
// with ERROR_FILE_NOT_FOUND when no such driver runs.
win::HANDLE OpenDevice(std::shared_ptr<Machine> machine, std::u16string_view path, win::DWORD access);

// Makes a service report `state` whatever happens to it (0 releases it): a driver stuck in
// SERVICE_STOP_PENDING, for one.
void HoldServiceState(Machine& machine, std::u16string_view serviceName, win::DWORD state);

// The state table of the service manager, created on first use.
void EnsureScmSchema(Db& db);

}  // namespace winsim
