#include "updater/module_download.h"

#include <tinyxml2.h>

#include <cstdio>
#include <vector>

#include "config/registry_layout.h"
#include "logging/logger.h"
#include "platform/file_util.h"
#include "platform/platform.h"
#include "protocol/response_fields.h"
#include "syscontrol/driver_service.h"
#include "updater/config_update.h"
#include "updater/install_transaction.h"
#include "updater/release_stamp.h"

namespace qz {

namespace {

using namespace win;

constexpr char16_t kTag[] = u"TarlinUpdater";
constexpr char16_t kTagUtil[] = u"AgentUtil";

template <class... A>
void Log(UpdaterRun& u, std::u16string_view tag, std::u16string_view func, int level, std::u16string_view fmt,
         const A&... a) {
  if (u.logger) u.logger->Log(tag, func, level, fmt, a...);
}

// The "os" attribute as a mask over the OS code: every OS when absent. A value that cannot be
// read as hexadecimal applies nowhere, so a module is never placed on a Windows it was not meant for.
uint32_t OsMask(const tinyxml2::XMLElement* module) {
  const char* text = module->Attribute("os");
  if (!text) return 0xFFFFFFFFu;
  unsigned int mask = 0;
  if (std::sscanf(text, "%8X", &mask) != 1) return 0;
  return mask;
}

// A copy that an earlier, failed run prepared would be installed with this run's modules; one that
// is not what the definition now asks for (or a module now removed) must not be.
void DropStalePrepared(UpdaterRun& u, std::u16string_view name, const Digest* expected) {
  const std::u16string prepared = Fmt(u"%s\\%s", u.folders().module, name);
  if (!PathExists(prepared)) return;
  Digest digest{};
  if (expected && DigestFile(std::u16string_view(prepared), &digest) && digest == *expected) return;
  DeleteFileNowOrAtRestart(prepared);
}

}  // namespace

bool ReadModuleName(const tinyxml2::XMLElement* element, std::u16string* name) {
  const char* text = element ? element->GetText() : nullptr;
  if (!text || !*text) return false;
  *name = Utf8ToWide(text);
  return true;
}

bool IsPlainDownload(UpdaterRun& u) {
  AgentRegKey agent;
  if (OpenAgentKey(KEY_READ, &agent) != ERROR_SUCCESS) return false;
  uint32_t value = 0;
  return u.config.store.ReadPlainDownload(agent, &value) == ERROR_SUCCESS && value != 0;
}

void StopDriverIfNeedUpdate(UpdaterRun& u, const tinyxml2::XMLElement* root) {
  struct Family {
    const char* attribute;
    const char16_t* name;
    int (*probe)(DriverService&);
    DriverService* record;
  };
  DriverRecords& d = u.drivers;
  const Family families[] = {{"updateNetFilter", u"NetFilterSvc", DetectNetFilter, &d.netFilter},
                             {"updateTcpTagger", u"TcpTaggerSvc", DetectTcpTagger, &d.tcpTagger},
                             {"updatePrtProc", u"AgentProtectionSvc", DetectPrtProc, &d.prtProc},
                             {"updateProcessCut", u"ProcessCutSvc", DetectProcCut, &d.procCut}};
  for (const Family& f : families) {
    bool replaced = false;
    if (!ReadAttributeFlag(root, f.attribute, &replaced) || !replaced) continue;
    if (f.probe(*f.record) != kProbeRunning) continue;
    Log(u, kTag, u"StopDriverIfNeedUpdate", kLogFatal, u"%s 종료 시도", f.name);
    f.record->started = true;
    if (const int rc = f.record->StopAndDelete())
      Log(u, kTag, u"StopDriverIfNeedUpdate", kLogFatal, u"%s 종료 실패: %d", f.name, rc);
  }
}

int InstallAgentModule(UpdaterRun& u, std::u16string_view name, const Digest& expected, bool plain) {
  constexpr char16_t kFunc[] = u"InstallAgentModule";
  const std::u16string package = Fmt(u"%s.qz", name);
  const std::u16string urlPath = Fmt(u"%s%s", u"/agent/", package);
  const std::u16string& folder = u.folders().module;
  const std::u16string packagePath = Fmt(u"%s\\%s", folder, package);

  const int64_t got = plain ? u.agent.query->DownloadPlain(urlPath, package, folder, true)
                            : DownloadSecure(u.agent, urlPath, package, folder, false);
  if (got <= 0) {
    if (PathExists(packagePath)) Files().DeleteFileW(packagePath);
    Log(u, kTagUtil, kFunc, kLogFatal, u"%s: 다운로드 오류(%ld)", name, got);
    return kModuleDownloadError;
  }

  const std::u16string filePath = Fmt(u"%s\\%s", folder, name);
  int result = u.archive.UnzipSignedFile(packagePath, folder, u.certs.fileSigning);
  if (result != kUnzipOk) {
    Log(u, kTagUtil, kFunc, kLogFatal, u"%s: 압축 해제 실패, ErrorCode : %d", name, result);
    // A half-written file must not be taken for a prepared module by a later installation.
    if (PathExists(filePath)) DeleteFileNowOrAtRestart(filePath);
  } else {
    Digest actual{};
    if (!DigestPreparedFile(u, name, &actual) || actual != expected) {
      Log(u, kTagUtil, kFunc, kLogFatal, u"%s: 체크섬 오류 - %s(M):%s(F)", name, HexEncode(expected),
          HexEncode(actual));
      DeleteFileNowOrAtRestart(filePath);
      result = kModuleChecksumError;
    }
  }
  if (DeleteFileNowOrAtRestart(packagePath) == Removal::Failed) Log(u, kTagUtil, kFunc, kLogWarning, u"%s: 압축 파일 삭제 실패", name);
  return result;
}

int DownloadWithRetry(UpdaterRun& u, std::u16string_view name, const Digest& expected, int attempts, bool plain) {
  int result = kModuleDownloadError;
  for (int i = 0; i < attempts; ++i) {
    result = InstallAgentModule(u, name, expected, plain);
    if (result != kModuleDownloadError) break;
    Time().Sleep(kModuleRetryPause);
  }
  return result;
}

bool DownloadAgentModule(UpdaterRun& u, const tinyxml2::XMLElement* module, bool plain) {
  constexpr char16_t kFunc[] = u"DownloadAgentModule";
  std::u16string name;
  if (!ReadModuleName(module, &name)) {
    Log(u, kTag, kFunc, kLogWarning, u"모듈 이름을 찾을 수 없음");
    return false;
  }
  // The name is joined to the install folder and may be deleted there: it must stay inside it and
  // must not be one of the agent's own folders, backups or a device.
  if (!ModuleNameRefusal(name).empty()) {
    Log(u, kTag, kFunc, kLogWarning, u"Invalid module name: %s", name);
    return false;
  }
  bool remove = false;
  ReadAttributeFlag(module, "remove", &remove);
  const std::u16string installed = Fmt(u"%s\\%s", u.folders().install, name);

  if (remove) {
    DropStalePrepared(u, name, nullptr);
    u.plan.files.erase(FoldCase(name));
    // Existence, not readability: a file in use is still installed and must still go. It goes with
    // the installation, so that an update cut short leaves the previous build whole.
    if (!PathExists(installed)) {
      Log(u, kTag, kFunc, kLogInfo, u"%s: 이미 삭제됨", name);
    } else {
      u.plan.removals.push_back(name);
    }
    return true;
  }

  Digest expected{};
  if (!ReadChecksumAttribute(module, &expected)) {
    Log(u, kTag, kFunc, kLogWarning, u"체크섬 정보를 찾을 수 없음");
    return false;
  }
  u.plan.files[FoldCase(name)] = expected;
  Digest current{};
  if (DigestFile(std::u16string_view(installed), &current) && current == expected) {
    DropStalePrepared(u, name, &expected);
    return true;
  }

  if (DownloadWithRetry(u, name, expected, kModuleAttempts, plain) == kModuleReady) return true;
  Log(u, kTag, kFunc, kLogWarning, u"%s: 모듈 다운로드 실패", name);
  return false;
}

bool DownloadAgentModules(UpdaterRun& u) {
  constexpr char16_t kFunc[] = u"DownloadAgentModules";
  const UpdaterFolders& folders = u.folders();
  // The inflated document, with room for the terminator the reader adds when it fits.
  std::vector<uint8_t> text(kPolicyBufferSize + 1, 0);
  const int length = u.archive.LoadPolicyFile(Fmt(u"%s\\%s", folders.install, kDefinitionFile),
                                              std::span(text.data(), kPolicyBufferSize), u.certs.fileSigning);
  if (length <= 0) {
    Log(u, kTag, kFunc, kLogWarning, u"에이전트 모듈 정의 파일 열기 실패");
    return false;
  }
  // White space collapsed, so an indented definition names its modules as a compact one does.
  tinyxml2::XMLDocument doc(true, tinyxml2::COLLAPSE_WHITESPACE);
  doc.Parse(reinterpret_cast<const char*>(text.data()), static_cast<size_t>(length));
  const tinyxml2::XMLElement* root = doc.RootElement();
  if (!root) {
    Log(u, kTag, kFunc, kLogFatal, u"잘못된 모듈 정의 파일 발견");
    return false;
  }
  if (!AcceptDefinitionStamp(u, root)) return false;

  StopDriverIfNeedUpdate(u, root);

  // Everything below is prepared in the module folder and installed from there with backups.
  if (!CreateFolderPath(folders.module)) {
    Log(u, kTag, kFunc, kLogWarning, u"%u - 작업 폴더 변경 실패: %s", GetLastError(), folders.module);
    return false;
  }

  const bool plain = IsPlainDownload(u);
  if (!plain) Log(u, kTag, kFunc, kLogFatal, u"Secure downloading enabled");

  UpdateConfigFileAndApply(u, root);

  bool result = true;
  for (const tinyxml2::XMLElement* m = root->FirstChildElement("module"); m; m = m->NextSiblingElement("module")) {
    if ((OsMask(m) & u.os.osCode) == 0) continue;
    if (!DownloadAgentModule(u, m, plain)) {
      result = false;
      break;
    }
  }
  return result;
}

}  // namespace qz
