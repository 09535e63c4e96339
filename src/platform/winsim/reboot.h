// The file operations Windows carries out at start-up.
#pragma once

#include "platform/winsim/machine.h"

namespace winsim {

// Carries out HKLM\SYSTEM\CurrentControlSet\Control\Session Manager\PendingFileRenameOperations in
// order (an empty target deletes a file or an empty folder, a "!" target replaces an existing file)
// and clears the value. An operation that cannot be done is skipped, as at a real start-up.
void Reboot(Machine& machine);

}  // namespace winsim
