#include "updater/file_placement.h"

#include <span>

#include "platform/file_util.h"
#include "platform/platform.h"
#include "syscontrol/driver_service.h"

namespace qz {

using namespace win;

namespace {

constexpr char16_t kTag[] = u"TarlinUpdater";
constexpr DWORD kErrorFilenameTooLong = 206;  // ERROR_FILENAME_EXCED_RANGE
constexpr char16_t kSystemFolder[] = u"%windir%\\system32";

// One overwriting copy of folder\name to folder\name; false with the last error set.
bool CopyOne(std::u16string_view from, std::u16string_view to, std::u16string_view name) {
  std::u16string source, target;
  if (!BuildPath(from, name, &source) || !BuildPath(to, name, &target)) {
    SetLastError(kErrorFilenameTooLong);
    return false;
  }
  return Files().CopyFileW(source, target, FALSE) != FALSE;
}

bool CopyFileList(UpdaterRun& u, std::u16string_view from, std::u16string_view to,
                  std::span<const std::u16string_view> names, std::u16string_view doneText) {
  int copied = 0;
  for (std::u16string_view name : names) {
    if (CopyOne(from, to, name)) {
      ++copied;
    } else {
      const DWORD err = GetLastError();
      u.logger->Log(kTag, u"CopyAgentFiles", kLogWarning, u"%u - 복사 실패: %s", err, name);
    }
  }
  const int total = static_cast<int>(names.size());
  u.logger->Log(kTag, u"CopyAgentFiles", kLogSystem, doneText, copied, total);
  return copied == total;
}

}  // namespace

bool CopyAgentFiles(UpdaterRun& u, std::u16string_view sourceFolder, std::u16string_view targetFolder) {
  return CopyFileList(u, sourceFolder, targetFolder, kAgentFiles, u"%d/%d 에이전트 파일 복사 완료");
}

bool CopyCertificateFiles(UpdaterRun& u, std::u16string_view sourceFolder, std::u16string_view targetFolder) {
  return CopyFileList(u, sourceFolder, targetFolder, kCertificateFiles, u"%d/%d 인증서 파일 복사 완료");
}

int CopyDriverFiles(UpdaterRun& u, std::u16string_view sourceFolder, std::u16string_view targetFolder,
                    uint32_t osCode) {
  int copied = 0;
  for (const DriverFile& f : kDriverFiles) {
    if ((f.osMask & osCode) == 0) continue;
    if (CopyOne(sourceFolder, targetFolder, f.name)) {
      ++copied;
      u.logger->Log(kTag, u"CopyDriverFiles", kLogSystem, u"드라이버 파일 복사: %s", f.name);
    } else {
      const DWORD err = GetLastError();
      u.logger->Log(kTag, u"CopyDriverFiles", kLogSystem, u"%u - 복사 실패: %s", err, f.name);
    }
  }
  return copied;
}

void CopyMsDllToSystemFolder(UpdaterRun& u, std::u16string_view sourceFolder) {
  // A 32-bit updater on 64-bit Windows lands in SysWOW64, where 32-bit libraries belong.
  const std::u16string system = Files().ExpandEnvironmentStringsW(kSystemFolder);
  struct Library {
    std::u16string_view name, failure;
  };
  constexpr Library kLibraries[] = {{u"msvcp110.dll", u"%u - 시스템 폴더에 복사 실패: msvcp110.dll"},
                                    {u"msvcr110.dll", u"%u - 시스템 폴더에 복사 실패: msvcr110.dll"}};
  for (const Library& l : kLibraries) {
    if (!CopyOne(sourceFolder, system, l.name)) {
      const DWORD err = GetLastError();
      u.logger->Log(kTag, u"CopyMsDllToSystemFolder", kLogWarning, l.failure, err);
    }
  }
}

void PlaceCertificatesAndDrivers(UpdaterRun& u) {
  const UpdaterFolders& folders = u.folders();
  CopyCertificateFiles(u, folders.setup, folders.install);
  DriverRecords& drivers = u.drivers;
  RemoveRunningDrivers(drivers);
  CopyDriverFiles(u, folders.setup, folders.install, u.os.osCode);
  // Results are not checked: a filter that does not start leaves the agent without it, no more.
  if (DetectNetFilter(drivers.netFilter) == kProbeStopped && PathExists(drivers.netFilter.binaryPath)) {
    drivers.netFilter.InstallAndStart();
  }
  if (DetectTcpTagger(drivers.tcpTagger) == kProbeStopped && PathExists(drivers.tcpTagger.binaryPath)) {
    drivers.tcpTagger.InstallAndStart();
  }
}

}  // namespace qz
