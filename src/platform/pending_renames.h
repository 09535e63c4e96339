// The file operations put off until the next restart (MoveFileEx with MOVEFILE_DELAY_UNTIL_REBOOT),
// kept by Windows in PendingFileRenameOperations: a deletion scheduled by an earlier run must not
// take a file that a later run has written again.
#pragma once

#include <string>
#include <vector>

namespace win {

// Removes from PendingFileRenameOperations every deletion (a pair without a target) of one of
// paths, compared as this process names them (a 32-bit process on 64-bit Windows writes system32
// files into SysWOW64, and that is what its scheduled deletions name); every other pair stays, in
// its order. The number of pairs removed, or -1 when the value could not be read or rewritten.
int CancelDeletesAtRestart(const std::vector<std::u16string>& paths);

// The value's strings one by one up to the end of its data (a deletion's empty target must not
// end the list the way an empty string ends an ordinary REG_MULTI_SZ), and back.
std::vector<std::u16string> ParsePendingRenames(const std::vector<unsigned char>& data);
std::vector<unsigned char> SerializePendingRenames(const std::vector<std::u16string>& strings);

}  // namespace win
