// What a module definition may name: the agent refuses a definition that names anything else, and
// the publisher tool refuses to publish it. Both call these, so they cannot drift apart.
#pragma once

#include <cstddef>
#include <string_view>

namespace qz {

// Longest module or configuration file name, in UTF-16 characters.
inline constexpr size_t kModuleNameMax = 79;

// True when the name can only mean a file directly inside the folder it is joined to, and fits.
bool IsPlainFileName(std::u16string_view name);

// Empty when a definition may name the file; otherwise why not, in a few English words. Beyond a
// plain file name: no leading '.', not the install folder's own subfolders (`module`, `logs`), no
// Windows device name (the file would never be written), and no `.r` + digits ending, which the
// installation uses for its backups and its clean-up deletes.
std::string_view ModuleNameRefusal(std::u16string_view name);

}  // namespace qz
