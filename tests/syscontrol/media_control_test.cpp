#include "syscontrol/media_control.h"

#include <gtest/gtest.h>

#include "fixtures.h"

namespace {

using namespace win;

TEST(MediaControl, RequiresTheLibraryAndItsSevenExports) {
  struct Case {
    const char* library;  // built library copied as qzComDrv.dll; empty: none
    bool loaded;
    std::string logged;
  };
  const Case cases[] = {
      {"", false, "MediaController::LoadComDrvFunction 1 126 - Not found in [C:\\Program Files (x86)\\varnholt\\KSM]"},
      {"qzComDrv_nocut.dll", false, "MediaController::LoadComDrvFunction 3 Fail to load process cut function"},
      {"qzComDrv_nomedia.dll", false, "MediaController::LoadComDrvFunction 3 Fail to load media control function"},
      {"qzComDrv.dll", true, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.library);
    sctest::AgentMachine m;
    if (*c.library) m.Install(c.library, u"qzComDrv.dll");
    qz::MediaController media(m.log);
    media.LoadComDrvFunction(m.folder);
    EXPECT_EQ(media.IsLoaded(), c.loaded);
    if (c.logged.empty()) {
      EXPECT_TRUE(m.log.Lines().empty()) << m.log.Dump();
    } else {
      EXPECT_EQ(m.log.Lines(), std::vector<std::string>{c.logged});
    }
    // A library that failed its checks is freed again; a loaded one cannot be deleted.
    if (*c.library) {
      EXPECT_EQ(Files().DeleteFileW(m.folder + u"\\qzComDrv.dll") != FALSE, !c.loaded);
    }
  }
}

TEST(MediaControl, EachStateCallSucceedsOncePerProcess) {
  sctest::AgentMachine m;
  m.Install("qzComDrv.dll", u"qzComDrv.dll");
  qz::MediaController media(m.log);
  media.LoadComDrvFunction(m.folder);
  ASSERT_TRUE(media.IsLoaded());
  for (int round = 0; round < 2; ++round) {
    media.SetUSBStorageBlock();
    media.SetWifiBlock();
    media.SetBluetoothBlock();
  }
  EXPECT_EQ(m.Notes(), (std::vector<std::string>{"qzComDrv: SetUSBStorUseState(0) = 1",
                                                 "qzComDrv: SetWIFIUseState(0) = 1",
                                                 "qzComDrv: SetBluetoothUseState(0) = 1"}));
  EXPECT_EQ(m.log.Count("2 Success to disable block"), 3);
  EXPECT_TRUE(m.log.Has("MediaController::SetWifiBlock 2 Success to disable block"));
}

TEST(MediaControl, AFailedStateCallIsTriedAgain) {
  sctest::AgentMachine m;
  m.Install("qzComDrv.dll", u"qzComDrv.dll");
  setenv("QZCOMDRV_RESULT", "0", 1);
  qz::MediaController media(m.log);
  media.LoadComDrvFunction(m.folder);
  media.SetUSBStorageBlock();
  media.SetUSBStorageBlock();
  unsetenv("QZCOMDRV_RESULT");
  EXPECT_EQ(m.Notes(), (std::vector<std::string>{"qzComDrv: SetUSBStorUseState(0) = 0",
                                                 "qzComDrv: SetUSBStorUseState(0) = 0"}));
  EXPECT_EQ(m.log.Count("MediaController::SetUSBStorageBlock 2 Fail to disable block"), 2);

  qz::MediaController unloaded(m.log);
  unloaded.SetBluetoothBlock();
  EXPECT_TRUE(m.log.Has("MediaController::SetBluetoothBlock 3 Function not loaded"));
}

}  // namespace
