// Volumes of a simulated machine: drive letters, types, labels, serial numbers and free space.
#include <algorithm>
#include <optional>

#include "platform/text.h"
#include "platform/winsim/files_internal.h"

namespace winsim {

using namespace win;

namespace {

constexpr ULONGLONG kMiB = 1024ull * 1024;
constexpr ULONGLONG kGiB = 1024ull * kMiB;
constexpr ULONGLONG kDefaultFree = 100 * kGiB;
constexpr ULONGLONG kDefaultTotal = 250 * kGiB;

}  // namespace

DWORD WinsimFiles::GetLogicalDrives() {
  return Guard(DWORD{0}, [&]() -> DWORD {
    DWORD mask = 0;
    for (const auto& v : m_->Config().volumes) mask |= 1u << (v.letter - 'A');
    SetLastError(NO_ERROR);
    return mask;
  });
}

std::u16string WinsimFiles::GetLogicalDriveStringsW() {
  return Guard(std::u16string(), [&]() -> std::u16string {
    auto volumes = m_->Config().volumes;
    std::sort(volumes.begin(), volumes.end(), [](const Volume& a, const Volume& b) { return a.letter < b.letter; });
    std::u16string out;
    for (const auto& v : volumes) {
      out.push_back(static_cast<char16_t>(v.letter));
      out += u":\\";
      out.push_back(0);
    }
    out.push_back(0);
    return out;
  });
}

UINT WinsimFiles::GetDriveTypeW(std::u16string_view root) {
  return Guard(UINT{DRIVE_UNKNOWN}, [&]() -> UINT {
    std::u16string r(root);
    if (r.empty()) r = GetCurrentDirectoryW().substr(0, 3);
    bool rootForm = r.size() >= 2 && r[1] == u':' &&
                    (r.size() == 2 || (r.size() == 3 && (r[2] == u'\\' || r[2] == u'/')));
    if (!rootForm) return DRIVE_NO_ROOT_DIR;
    auto v = FindVolume(r[0]);
    return v ? v->type : DRIVE_NO_ROOT_DIR;
  });
}

BOOL WinsimFiles::GetVolumeInformationW(std::u16string_view root, std::u16string* volumeName, DWORD* serialNumber) {
  return Guard(FALSE, [&]() -> BOOL {
    std::u16string r(root);
    if (r.empty()) r = GetCurrentDirectoryW().substr(0, 3);
    if (r.size() != 3 || r[1] != u':' || (r[2] != u'\\' && r[2] != u'/')) return Fail(ERROR_INVALID_NAME);
    auto v = FindVolume(r[0]);
    if (!v) return Fail(ERROR_PATH_NOT_FOUND);
    if (!v->present) return Fail(ERROR_NOT_READY);
    if (volumeName) *volumeName = Utf8ToWide(v->label);
    if (serialNumber) *serialNumber = v->serial;
    return Ok();
  });
}

BOOL WinsimFiles::GetDiskFreeSpaceExW(std::u16string_view path, ULONGLONG* freeToCaller, ULONGLONG* total,
                                      ULONGLONG* totalFree) {
  return Guard(FALSE, [&]() -> BOOL {
    std::u16string p(path);
    if (p.empty()) p = GetCurrentDirectoryW();
    DWORD err = 0;
    auto t = Resolve(p, &err);
    if (!t) return Fail(err);
    if (!t->exists) return Fail(MissingError(*t, ERROR_PATH_NOT_FOUND));
    if (!t->IsDir()) return Fail(ERROR_DIRECTORY);
    auto cfg = m_->Config();
    ULONGLONG free = cfg.freeSpaceMb ? *cfg.freeSpaceMb * kMiB : kDefaultFree;
    ULONGLONG size = std::max(kDefaultTotal, free);
    if (freeToCaller) *freeToCaller = free;
    if (total) *total = size;
    if (totalFree) *totalFree = free;
    return Ok();
  });
}

std::optional<Volume> WinsimFiles::FindVolume(char16_t letter) {
  char16_t up = letter >= u'a' && letter <= u'z' ? static_cast<char16_t>(letter - u'a' + u'A') : letter;
  for (const auto& v : m_->Config().volumes) {
    if (static_cast<char16_t>(v.letter) == up) return v;
  }
  return std::nullopt;
}

}  // namespace winsim
