// The kill point of crash tests. WINSIM_KILL_AT=OP:N[:PATTERN] ends this process, as `winsim kill`
// does (exit code recorded, no clean-up, its handles gone), at the Nth call of OP whose file
// matches PATTERN (a wildcard over the full Windows path, any letter case; default every file:
// the source of a move, the target of a copy), before that call has any effect. OP: MoveFileEx, WriteFile, DeleteFile, CopyFile, or CreateFile
// (opens for writing only). WINSIM_KILL_TRACE=HOSTFILE appends one line per such call,
// "IMAGE<TAB>OP<TAB>PATH", so a test can list the points a run passes.
#pragma once

#include <string_view>

#include "platform/types.h"
#include "platform/winsim/machine.h"

namespace winsim {

constexpr win::DWORD kKillPointExitCode = 0xDEAD;

// Counts a call of op on the file at path (full Windows path) and ends the process when it is the
// chosen one.
void AtKillPoint(Machine& m, std::string_view op, std::u16string_view path);

}  // namespace winsim
