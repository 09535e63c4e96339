// The install flow: the take-over of the settings document and the install worker.
#include <string>

#include "config/config_context.h"
#include "config/configure.h"
#include "config/installer_settings.h"
#include "config/registry_layout.h"
#include "installer/install_state.h"
#include "installer/removal.h"
#include "installer/startup.h"
#include "platform/platform.h"
#include "platform/text.h"
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

}  // namespace

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

  if (const char16_t* f = NetworkFilterDriverFile(state.productKind, state.osNumber, state.processorWidth)) {
    CopySetupFile(folders, f, folders.install, status);
  }
  if (const char16_t* f = ProcessCutDriverFile(state.productKind, state.osNumber, state.processorWidth)) {
    CopySetupFile(folders, f, folders.install, status);
  }
  // The old network filter found while the drivers came down runs again from its file; a
  // service whose deletion failed is still there and is left alone.
  state.drivers.netFilter.InstallAndStart();

  WriteInstallerServerConfig(ctx, settings, folders.install);
  if (PlacesProcessCut(state.productKind)) CopySetupFile(folders, u"qzComDrv.dll", folders.install, status);
  if (!archiveName.empty()) CopySetupFile(folders, archiveName, folders.install + u"\\logs", status);

  if (status) status(u"File Copy Start");
  for (const auto& c : kCopyList) CopySetupFile(folders, c.name, c.toSystem ? folders.system : folders.install, status);
  if (status) status(u"File Copy Complete");

  RunProgram(true, folders.install, u"qzTarlinSvc.exe", u"-install");
  RunProgram(true, folders.install, u"qzTarlinSvc.exe", u"-start");

  for (const auto& e : state.extras) {
    if (e.copy) CopySetupFile(folders, e.fileName, e.path, status);
    if (e.exec) RunProgram(e.wait, e.copy ? e.path : folders.setup, e.fileName, e.options);
  }

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
