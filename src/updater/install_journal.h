// The install step's journal: what one installation is about to do in the install folder, written
// and flushed before the first move and removed after the last, so that the next run can finish or
// undo an installation that was cut short. Plain text, one line per step, closed by the SHA-256 of
// everything before it: a torn write does not parse, and every name in it is a plain file name, so
// no journal can send a move outside the install folder.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "crypto/digest.h"

namespace qz {

// In the install folder. A module name never begins with '.', so no module can be installed over it.
inline constexpr char16_t kInstallJournalName[] = u".qzinstall.jnl";
// Longer journals are not ours.
inline constexpr size_t kInstallJournalLimit = 256 * 1024;

struct InstallStep {
  enum class Kind { Put, Remove };
  Kind kind = Kind::Put;
  std::u16string name;
  // Put: the SHA-256 the new file has, and whether an installed file was there to back up.
  Digest digest{};
  bool replaces = false;
};

struct InstallJournal {
  uint32_t build = 0;  // the backups are "<name>.r<build>"
  std::vector<InstallStep> steps;
};

std::string FormatInstallJournal(const InstallJournal& journal);
// False for anything that is not a whole journal as FormatInstallJournal writes it: a torn or
// damaged text, an unknown line, a name that is not a plain file name, a name given twice.
bool ParseInstallJournal(std::string_view text, InstallJournal* journal);

}  // namespace qz
