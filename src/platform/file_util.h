// Small file idioms over the platform's file service, written once: whether a path exists, removal
// now or at the next restart, folder listings, folder paths, whole-file reads.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "platform/files.h"

namespace win {

// True when something (file or folder) is at path.
bool PathExists(std::u16string_view path);
// True when a folder is at path.
bool FolderExists(std::u16string_view path);

enum class Removal { Now, AtRestart, Failed };
// Deletes a file now; when that fails (in use, for instance), schedules its deletion for the next
// restart. Says which happened; on Failed the last error is the scheduling's.
Removal DeleteFileNowOrAtRestart(std::u16string_view path);
// The same for an empty folder (or a folder link, which goes as a link).
Removal RemoveFolderNowOrAtRestart(std::u16string_view path);
// Schedules a deletion for the next restart only.
bool DeleteAtRestart(std::u16string_view path);

// "%s\%s" over folder and name within the 260-character path buffer; false when it does not fit
// (a cut path could name another file).
bool BuildPath(std::u16string_view folder, std::u16string_view name, std::u16string* path);

// A junction or folder link: a folder that is a reparse point (false for INVALID_FILE_ATTRIBUTES).
bool IsFolderLink(DWORD attributes);

// Deletes a folder with everything in it; what cannot be deleted now (files in use, the folder
// itself) is scheduled for deletion at the next restart. A link, at path or inside, goes as a link:
// what it points at is never reached. A drive root is refused. listFailure is the result when the
// folder cannot be listed (true for subfolders, so one that vanished counts as deleted). False when
// an entry could be neither deleted nor scheduled; the last error then tells why.
bool DeleteFolderTree(std::u16string_view path, bool listFailure);

// Entries matching a FindFirstFileW pattern, without "." and "..", taken whole before the caller
// changes the folder, so moves and deletions cannot disturb the listing. Empty when nothing matches.
std::vector<WIN32_FIND_DATAW> ListFolder(std::u16string_view pattern);
// Only the names of those entries.
std::vector<std::u16string> ListNames(std::u16string_view pattern);

// Creates a folder and every missing folder above it ("C:\a\b\c"; a trailing separator is
// ignored). True when the folder exists afterwards; false when a file stands in the way.
bool CreateFolderPath(std::u16string_view path);

// A whole file of at most limit bytes; false when it cannot be opened or read, or is larger.
bool ReadWholeFile(std::u16string_view path, std::string* out, size_t limit);

// The process's current directory for a stretch of work. Programs started meanwhile inherit it, and
// Windows will not remove a folder that is some process's current directory, so it is set only
// where that matters and always put back: the first Enter remembers the directory before it, the
// destructor restores that one.
class ScopedCurrentDirectory {
 public:
  ScopedCurrentDirectory() = default;
  ~ScopedCurrentDirectory();
  ScopedCurrentDirectory(const ScopedCurrentDirectory&) = delete;
  ScopedCurrentDirectory& operator=(const ScopedCurrentDirectory&) = delete;

  // False (the thread's last error tells why) when folder cannot be made current.
  bool Enter(std::u16string_view folder);

 private:
  bool entered_ = false;
  std::u16string previous_;
};

}  // namespace win
