// The install flow: the take-over of the settings document and the install worker.
#include <string>
#include <vector>

#include "config/config_context.h"
#include "config/configure.h"
#include "crypto/digest.h"
#include "config/installer_settings.h"
#include "config/registry_layout.h"
#include "installer/install_state.h"
#include "installer/removal.h"
#include "installer/startup.h"
#include "platform/file_util.h"
#include "platform/pending_renames.h"
#include "platform/platform.h"
#include "platform/text.h"
#include "syscontrol/agent_service.h"
#include "syscontrol/driver_service.h"

namespace qz {

using namespace win;

namespace {

// The agent's files, copied from the setup folder in this order; false: into the install folder.
struct CopyEntry {
  const char16_t* name;
  bool toSystem;
};
constexpr CopyEntry kCopyList[] = {
    {u"local-fs.crt", false},      {u"msvcp110.dll", false},     {u"msvcr110.dll", false},
    {u"mfc110u.dll", false},       {u"msvcp110.dll", true},      {u"msvcr110.dll", true},
    {u"mfc110u.dll", true},        {u"lmvAgent.exe", false},     {u"lmvAssistant.exe", false},
    {u"lmvKeeper.exe", false},     {u"qzAgentUtil.dll", false},  {u"qzClientInfo.dll", false},
    {u"qzCrypto.dll", false},      {u"qzLogger.dll", false},     {u"qzTarlinSvc.exe", false},
    {u"qzNSI.dll", false},         {u"qzPatchMan.dll", false},   {u"qzSecureZip.dll", false},
    {u"qzUpdater.exe", false},     {u"qorv-ca.pem", false},      {u"qorv-fs.crt", false},
    {u"qzCommon.dll", false},      {u"qzIPC.dll", false},        {u"qzNoticeView.exe", false},
    {u"qzPatcher.dll", false},     {u"qzPCKeeper.dll", false},   {u"qzPCKeeperUI.dll", false},
    {u"qzWebQuery.dll", false},    {u"qzPatchCom.dll", false},   {u"qzEnglish.dll", false},
    {u"qzKorea.dll", false},       {u"qzKeeperImage.dll", false}, {u"vhGSUtils.dll", false},
    {u"vhSafePacket.dll", false},  {u"vhSecureClient.dll", false},
};

bool PlacesNetworkFilter(const std::string& kind) { return kind == "V2" || kind == "V3-2"; }
bool PlacesProcessCut(const std::string& kind) { return kind == "V3-1" || kind == "V3-2"; }

// True when both files can be read and hold the same bytes.
bool SameContents(const std::u16string& a, const std::u16string& b) {
  Digest da{}, db{};
  return DigestFile(a, &da) && DigestFile(b, &db) && da == db;
}

// A failed check: nothing more is placed or started, and the administrator is told; the process
// ends.
void EndInstallFailure(InstallerState& state, int code) {
  DeleteSetupFolder(state.folders);
  const std::u16string text = Fmt(InstallerOutcomeText(InstallerOutcome::NotInstalled, state.korean), code);
  Ui().MessageBoxW(state.view ? state.view->Owner() : nullptr, text, InstallerText(322, state.korean), MB_ICONERROR);
  WriteInstallerOutcome(text.c_str());
  Processes().ExitProcess(1);
}

}  // namespace

int CheckPlacedFiles(const InstallerFolders& folders) {
  for (const auto& c : kCopyList) {
    const std::u16string source = folders.setup + u"\\" + c.name;
    if (!PathExists(source)) continue;
    const std::u16string target = (c.toSystem ? folders.system : folders.install) + u"\\" + c.name;
    if (!SameContents(source, target)) return kInstallFileCheckFailed;
  }
  return 0;
}

int CheckAgentService() {
  constexpr uint64_t kStartWaitMs = 30000;
  SC_HANDLE scm = Services().OpenSCManagerW(u"", u"", SC_MANAGER_CONNECT);
  if (!scm) return kInstallServiceCheckFailed;
  SC_HANDLE service = Services().OpenServiceW(scm, kAgentServiceName, SERVICE_QUERY_STATUS);
  bool running = false;
  if (service) {
    // Bounded by the clock, so a service that never reports cannot hold the install.
    const uint64_t end = Time().GetTickCount64() + kStartWaitMs;
    for (;;) {
      SERVICE_STATUS status{};
      if (!Services().QueryServiceStatus(service, &status)) break;
      running = status.dwCurrentState == SERVICE_RUNNING;
      if (status.dwCurrentState != SERVICE_START_PENDING || Time().GetTickCount64() >= end) break;
      Time().Sleep(100);
    }
    Services().CloseServiceHandle(service);
  }
  Services().CloseServiceHandle(scm);
  return running ? 0 : kInstallServiceCheckFailed;
}

void RestartNetworkFilter(DriverService& filter, const char16_t* placedFilter, const InstallerFolders& folders) {
  // No filter found by the removal, or one whose service could not be deleted and is still there.
  if (!placedFilter || filter.serviceName.empty() || filter.created) return;
  const std::u16string file = folders.install + u"\\" + placedFilter;
  if (!PathExists(file)) return;
  filter.binaryPath = file;
  filter.InstallAndStart();
}

const char16_t* NetworkFilterDriverFile(const std::string& productKind, int osNumber, int processorWidth) {
  if (!PlacesNetworkFilter(productKind)) return nullptr;
  const bool x64 = processorWidth == 2;
  if (osNumber == 60) return x64 ? u"qzNetFilter_VistaX64.sys" : u"qzNetFilter_Vista.sys";
  if (osNumber >= 61) return x64 ? u"qzNetFilterX64.sys" : u"qzNetFilter.sys";
  return nullptr;
}

const char16_t* ProcessCutDriverFile(const std::string& productKind, int osNumber, int processorWidth) {
  if (!PlacesProcessCut(productKind)) return nullptr;
  if (osNumber == 51) return u"qzProcCutXp.sys";
  if (osNumber >= 60) return processorWidth == 2 ? u"qzProcCutx64.sys" : u"qzProcCutx86.sys";
  return nullptr;
}

int TakeOverSettings(InstallerState& state, std::u16string_view buildMode) {
  InstallerSettings settings;
  const std::string path = state.folders.setupAnsi + "\\" + WideToAnsi(kServerConfigName);
  if (int code = ReadInstallerSettings(path, &settings)) return code;
  state.message = settings.message;
  state.companyName = settings.companyName;
  state.productKind = settings.productKind;
  if (settings.showLogo) state.showLogo = true;
  state.extras = settings.extras;
  const BuildModeSplit split = SplitBuildMode(buildMode);
  state.showMode = split.showMode.empty() ? settings.showUi : split.showMode;
  state.settings = std::move(settings);
  return 0;
}

int RunInstallWorker(InstallerState& state) {
  const InstallerFolders& folders = state.folders;
  const bool korean = state.korean;
  InstallView* view = state.view;
  StatusSink status;
  if (view) status = [view](std::u16string_view text) { view->SetStatusText(text); };

  std::u16string archiveName;
  RemovePreviousAgent(folders, state.drivers, korean, status, &archiveName);
  state.logArchiveName = archiveName;

  ConfigContext ctx;
  const InstallerSettings& settings = state.settings;
  if (int code = InstallerRegistryStep(ctx, settings, folders.install)) {
    DeleteSetupFolder(folders);
    const std::u16string text = Fmt(InstallerText(305, korean), code);
    Ui().MessageBoxW(view ? view->Owner() : nullptr, text, InstallerText(323, korean), MB_ICONWARNING);
    WriteInstallerOutcome(text.c_str());
    Processes().ExitProcess(1);
  }

  state.processorWidth = Is64BitWindows() ? 2 : 1;
  OSVERSIONINFOEXW version;
  state.osNumber = Os().GetVersionExW(&version)
                       ? static_cast<int>(version.dwMajorVersion * 10 + version.dwMinorVersion)
                       : 0;

  // Every path written here; deletions an earlier uninstall scheduled for them are cancelled.
  std::vector<std::u16string> written;
  auto place = [&](std::u16string_view name, const std::u16string& target) {
    if (!CopySetupFile(folders, name, target, status)) return false;
    written.push_back(target + u"\\" + std::u16string(name));
    return true;
  };

  const char16_t* filter = NetworkFilterDriverFile(state.productKind, state.osNumber, state.processorWidth);
  if (filter && !place(filter, folders.install)) filter = nullptr;
  if (const char16_t* f = ProcessCutDriverFile(state.productKind, state.osNumber, state.processorWidth)) {
    place(f, folders.install);
  }
  // The old network filter found while the drivers came down runs again from the new file.
  RestartNetworkFilter(state.drivers.netFilter, filter, folders);

  if (WriteInstallerServerConfig(ctx, settings, folders.install) == 0) {
    written.push_back(folders.install + u"\\" + kServerConfigName);
  }
  if (PlacesProcessCut(state.productKind)) place(u"qzComDrv.dll", folders.install);
  if (!archiveName.empty()) place(archiveName, folders.install + u"\\logs");

  if (status) status(u"File Copy Start");
  for (const auto& c : kCopyList) place(c.name, c.toSystem ? folders.system : folders.install);
  if (status) status(u"File Copy Complete");
  CancelDeletesAtRestart(written);
  if (int code = CheckPlacedFiles(folders)) {
    EndInstallFailure(state, code);
    return code;
  }

  RunProgram(true, folders.install, u"qzTarlinSvc.exe", u"-install");
  RunProgram(true, folders.install, u"qzTarlinSvc.exe", u"-start");
  if (int code = CheckAgentService()) {
    EndInstallFailure(state, code);
    return code;
  }

  written.clear();
  for (const auto& e : state.extras) {
    if (e.copy) place(e.fileName, e.path);
    if (e.exec) RunProgram(e.wait, e.copy ? e.path : folders.setup, e.fileName, e.options);
  }
  if (!written.empty()) CancelDeletesAtRestart(written);

  Time().Sleep(2000);
  DeleteSetupFolder(folders);
  {
    std::lock_guard<std::recursive_mutex> lock(state.flagLock);
    state.installing = 0;
    state.done = 1;
  }
  if (status) status(korean ? u"설치완료" : u"installed");
  if (view) view->ShowFinishedPicture();

  if (state.showMode == u"false") {
    WriteInstallerOutcome(u"0");
    Processes().ExitProcess(1);
  }
  return 0;
}

}  // namespace qz
