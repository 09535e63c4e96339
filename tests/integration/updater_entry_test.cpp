// qzUpdater's start on simulated machines: the single-instance test, the install-mode OS gate and
// its message boxes, with the real program.
#include <gtest/gtest.h>

#include "platform/platform.h"
#include "platform/text.h"
#include "support/test_machine.h"
#include "updater/entry.h"
#include "updater/messages.h"

using namespace qz;

namespace {

using namespace win;
using qztest::TestMachine;

constexpr char16_t kUpdater[] = u"C:\\bc8f992f5df34654945e6e32a5aa400c\\qzUpdater.exe";

std::u16string Cmd(std::u16string_view args) { return u"\"" + std::u16string(kUpdater) + u"\" " + std::u16string(args); }

std::string Utf8(std::u16string_view s) { return WideToUtf8(s); }

TEST(UpdaterEntry, OsGateRefusesOldSystemsInInstallModeOnly) {
  struct Row {
    const char* profile;
    const char16_t* args;
    int exit;
    const char16_t* text;  // the one box shown, or none
    const char16_t* caption;
  };
  // Past the gate the mode's initialisation runs: these machines have neither a server.cfg in the
  // setup folder nor the agent's registry tree.
  const Row rows[] = {
      {"winxp-sp2", u"--install", kExitOsRefused, kTextOsRefused, kCaptionAgent},
      {"win2000", u"--install", kExitOsRefused, kTextOsRefused, kCaptionAgent},
      {"win2003-sp1", u"--install", kExitOsRefused, kTextOsRefused, kCaptionAgent},
      {"winxp-x64", u"--install", kExitOsRefused, kTextOsRefused, kCaptionAgent},
      {"winxp-sp3", u"--install", kExitPrepareFailed, kTextPrepareFailed, kCaptionError},
      {"win2003-sp2", u"--install", kExitPrepareFailed, kTextPrepareFailed, kCaptionError},
      {"winxp-sp2", u"--chksvc", kExitInitializeBase - 3001, nullptr, nullptr},
      {"win2000", u"", kExitInitializeBase - 3001, nullptr, nullptr},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(std::string(r.profile) + " " + Utf8(r.args));
    TestMachine m(r.profile);
    m.Install("qzUpdater", kUpdater);
    EXPECT_EQ(m.Run(Cmd(r.args)), r.exit);
    auto journal = m.Journal();
    if (r.text) {
      ASSERT_EQ(journal.size(), 1u);
      EXPECT_EQ(journal[0].kind, "MessageBox");
      EXPECT_EQ(journal[0].image, "qzUpdater.exe");
      EXPECT_EQ(journal[0].text, Utf8(r.text));
      EXPECT_EQ(journal[0].caption, Utf8(r.caption));
      EXPECT_EQ(journal[0].flags, MB_OK);
    } else {
      EXPECT_TRUE(journal.empty());
    }
  }
}

TEST(UpdaterEntry, ASecondUpdaterExitsAtOnceWithABoxOnlyInInstallMode) {
  TestMachine m("win10-x64");
  m.Install("qzUpdater", kUpdater);
  // Any process of that name counts, whatever its folder and letter case.
  m.Install("wsprobe", u"C:\\other\\QZUPDATER.EXE");
  m.Enter(u"C:\\Windows\\explorer.exe", 64);
  PROCESS_INFORMATION pi;
  STARTUPINFOW si;
  ASSERT_TRUE(Processes().CreateProcessW(u"", u"C:\\other\\QZUPDATER.EXE sleep 600000", 0, u"C:\\", si, &pi));

  EXPECT_EQ(m.Run(Cmd(u"--install")), kExitAnotherUpdater);
  auto journal = m.Journal();
  ASSERT_EQ(journal.size(), 1u);
  EXPECT_EQ(journal[0].text, Utf8(kTextAnotherUpdater));
  EXPECT_EQ(journal[0].caption, Utf8(kCaptionAgent));

  EXPECT_EQ(m.Run(Cmd(u"--chksvc")), kExitAnotherUpdater);
  EXPECT_EQ(m.Journal().size(), 1u);

  Processes().TerminateProcess(pi.hProcess, 0);
  Time().WaitForSingleObject(pi.hProcess, INFINITE);
  CloseHandle(pi.hProcess);
  CloseHandle(pi.hThread);
  // Alone again, it goes past the single-instance test (to the registry, which is empty here).
  EXPECT_EQ(m.Run(Cmd(u"--chksvc")), kExitInitializeBase - 3001);
}

}  // namespace
