// The test programs of the Windows build: the real platform is the current one, then GoogleTest.
#include <gtest/gtest.h>

#include "platform/win32/services.h"

int wmain(int argc, wchar_t** argv) {
  win32::Win32Platform platform;
  win::Platform::SetCurrent(&platform);
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
