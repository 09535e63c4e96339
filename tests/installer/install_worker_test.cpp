// The install worker in-process, seen through the status sink the window would be: what it shows
// and places, in which order, with a setup folder as the payload leaves it.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "installer/install_state.h"
#include "installer/site_installer.h"
#include "platform/platform.h"
#include "platform/text.h"
#include "support/test_machine.h"

namespace {

namespace fs = std::filesystem;
using namespace win;
using qztest::TestMachine;

class RecordingView : public qz::InstallView {
 public:
  void SetStatusText(std::u16string_view text) override { texts.emplace_back(text); }
  void ShowFinishedPicture() override { finishedAt = texts.size(); }
  HWND Owner() override { return nullptr; }
  std::vector<std::u16string> texts;
  size_t finishedAt = 0;
};

constexpr const char16_t* kCopyOrder[] = {
    u"local-fs.crt",     u"msvcp110.dll",     u"msvcr110.dll",      u"mfc110u.dll",      u"msvcp110.dll",
    u"msvcr110.dll",     u"mfc110u.dll",      u"lmvAgent.exe",      u"lmvAssistant.exe", u"lmvKeeper.exe",
    u"qzAgentUtil.dll",  u"qzClientInfo.dll", u"qzCrypto.dll",      u"qzLogger.dll",     u"qzTarlinSvc.exe",
    u"qzNSI.dll",        u"qzPatchMan.dll",   u"qzSecureZip.dll",   u"qzUpdater.exe",    u"qorv-ca.pem",
    u"qorv-fs.crt",      u"qzCommon.dll",     u"qzIPC.dll",         u"qzNoticeView.exe", u"qzPatcher.dll",
    u"qzPCKeeper.dll",   u"qzPCKeeperUI.dll", u"qzWebQuery.dll",    u"qzPatchCom.dll",   u"qzEnglish.dll",
    u"qzKorea.dll",      u"qzKeeperImage.dll", u"vhGSUtils.dll",    u"vhSafePacket.dll", u"vhSecureClient.dll",
};

TEST(InstallWorker, ShowsAndPlacesEverythingInOrderThenHandsOver) {
  setenv("WINSIM_TIME_SCALE", "0.01", 1);
  TestMachine m("win7-x64");
  qz::InstallerState state;
  state.folders.setup = u"C:\\setup";
  state.folders.install = u"C:\\Program Files (x86)\\varnholt\\KSM";
  state.folders.system = u"C:\\Windows\\system32";
  state.folders.setupAnsi = "C:\\setup";
  state.folders.installAnsi = "C:\\Program Files (x86)\\varnholt\\KSM";
  state.folders.systemAnsi = "C:\\Windows\\system32";
  state.productKind = "V3-2";
  state.showMode = u"true";
  state.installing = 1;
  fs::create_directories(m.HostPath(state.folders.install));
  fs::create_directories(m.HostPath(state.folders.setup));
  std::ofstream(m.HostPath(u"C:\\setup\\server.cfg"))
      << "<setup><serial>VH-1</serial><server>127.0.0.1</server><productkind>V3-2</productkind><msg>m</msg>"
         "<showui>true</showui><addbin><item copy=\"true\" path=\"C:\\extra\">tool.dll</item></addbin></setup>";
  for (const char* f : {"qzNetFilterX64.sys", "qzProcCutx64.sys", "qzComDrv.dll", "lmvAgent.exe", "tool.dll"}) {
    std::ofstream(m.HostPath(u"C:\\setup\\" + Utf8ToWide(f))) << f;
  }
  fs::create_directories(m.HostPath(u"C:\\extra"));
  fs::create_directories(m.HostPath(u"C:\\test"));
  m.Enter(u"C:\\test\\qzSetup.exe", 32);
  qz::TakeOverSettings(state, u"");
  RecordingView view;
  state.view = &view;

  EXPECT_EQ(qz::RunInstallWorker(state), 0);

  const std::u16string install = state.folders.install + u"\\";
  std::vector<std::u16string> want = {u"Stop the VH-KSM driver.", u"Terminates the VH-KSM Agent.",
                                      u"Delete an existing VH-KSM agent.", install + u"qzNetFilterX64.sys",
                                      install + u"qzProcCutx64.sys", install + u"qzComDrv.dll", u"File Copy Start"};
  for (size_t i = 0; i < std::size(kCopyOrder); ++i) {
    const bool system = i >= 4 && i <= 6;
    want.push_back((system ? u"C:\\Windows\\system32\\" : install) + kCopyOrder[i]);
  }
  want.push_back(u"File Copy Complete");
  want.push_back(u"C:\\extra\\tool.dll");
  want.push_back(u"installed");
  EXPECT_EQ(view.texts, want);
  EXPECT_EQ(view.finishedAt, want.size());
  EXPECT_EQ(state.installing, 0);
  EXPECT_EQ(state.done, 1);
  EXPECT_EQ(state.processorWidth, 2);
  EXPECT_EQ(state.osNumber, 61);
  for (const char16_t* f : {u"qzNetFilterX64.sys", u"qzProcCutx64.sys", u"qzComDrv.dll", u"lmvAgent.exe",
                            u"server.cfg"}) {
    EXPECT_TRUE(qztest::Exists(install + f)) << WideToUtf8(f);
  }
  EXPECT_TRUE(qztest::Exists(u"C:\\extra\\tool.dll"));
  EXPECT_FALSE(qztest::Exists(state.folders.setup));
  unsetenv("WINSIM_TIME_SCALE");
}

}  // namespace
