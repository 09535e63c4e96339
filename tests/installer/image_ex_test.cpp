// The animation player on a fresh machine, acting as qzSetup so its animation resource is there.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "installer/image_ex.h"
#include "platform/platform.h"
#include "platform/window.h"
#include "support/test_machine.h"

namespace {

using namespace win;
using qztest::TestMachine;

constexpr char16_t kImage[] = u"C:\\test\\qzSetup.exe";

INT_PTR CALLBACK QuietDialog(HWND, UINT, WPARAM, LPARAM) { return FALSE; }

// Waits (bounded) for the animation thread to reach a state.
template <class F>
bool Eventually(F cond) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!cond()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

class ImageExTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_.Install("qzSetup", kImage);
    m_.Enter(kImage, 32);
  }
  TestMachine m_{"win10-x64"};
};

TEST_F(ImageExTest, PlaysTheAnimationFrameByFrameUntilPausedAndReleases) {
  HWND window = CreateDialogParamW(nullptr, 129, nullptr, QuietDialog, 0);
  ASSERT_TRUE(window);
  qz::ImageEx image;
  ASSERT_TRUE(image.Load(u"GIF", 185));
  EXPECT_EQ(image.FrameCount(), 31u);
  EXPECT_EQ(image.GetWidth(), 302u);
  EXPECT_EQ(image.GetHeight(), 26u);
  image.SetTarget(window, 270, 250);
  ASSERT_TRUE(image.Start());
  EXPECT_FALSE(image.Start()) << "one animation thread at a time";
  // Past the last frame it begins again.
  ASSERT_TRUE(Eventually([&] { return image.FramesDrawn() > 2 * image.FrameCount(); }));

  image.Pause();
  EXPECT_TRUE(image.IsPaused());
  // A paused thread is woken to stop.
  image.Release();
  EXPECT_FALSE(image.IsAnimating());
  EXPECT_FALSE(image.IsLoaded());
  EXPECT_FALSE(image.Start());
  DestroyWindow(window);
}

TEST_F(ImageExTest, LoadsAgainOverARunningAnimation) {
  HWND window = CreateDialogParamW(nullptr, 129, nullptr, QuietDialog, 0);
  ASSERT_TRUE(window);
  qz::ImageEx image;
  ASSERT_TRUE(image.Load(u"GIF", 185));
  image.SetTarget(window, 0, 0);
  ASSERT_TRUE(image.Start());
  ASSERT_TRUE(image.Load(u"GIF", 185));
  EXPECT_FALSE(image.IsAnimating());
  EXPECT_EQ(image.FrameCount(), 31u);
  DestroyWindow(window);
}

TEST_F(ImageExTest, WhatIsNotAnAnimationDoesNotPlay) {
  qz::ImageEx image;
  EXPECT_FALSE(image.Load(u"GIF", 186)) << "no such resource";
  EXPECT_FALSE(image.Start());
  EXPECT_FALSE(image.Load(u"#2", 171)) << "a bitmap is not read as a GIF here";
  EXPECT_FALSE(image.Start());
  image.Pause();
  EXPECT_FALSE(image.IsPaused());
}

}  // namespace
