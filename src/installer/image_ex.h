// An animated picture from the program's resources, played frame by frame on a window by a thread
// of its own.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/gdiplus.h"
#include "platform/window.h"

namespace qz {

class ImageEx : public win::Gdiplus::Image {
 public:
  ImageEx() = default;
  ~ImageEx() override;

  // Reads the resource (type, id) into a stream and decodes it; false when the resource is
  // missing or does not decode. An earlier load is released first.
  bool Load(std::u16string_view type, int id);
  // Where the frames are drawn: the window's client area at (x, y).
  void SetTarget(win::HWND window, int x, int y);
  // Starts the animation thread when there are at least 2 frames and no thread yet.
  bool Start();
  // Holds the animation at its current frame.
  void Pause();
  // Stops and waits for the animation thread, frees the stream and the decoded picture.
  void Release();

  bool IsLoaded() const { return loaded_; }
  bool IsPaused() const { return paused_; }
  bool IsAnimating() const { return thread_.joinable(); }
  win::UINT FrameCount() const { return frameCount_; }
  // Frames drawn so far (for whoever watches the animation).
  uint64_t FramesDrawn() const { return framesDrawn_.load(); }

 private:
  void Animate();
  void ReleaseLocked();

  // Start, Pause and Release may come from different threads; the animation thread never takes it.
  std::mutex control_;
  bool loaded_ = false;
  std::atomic<bool> paused_{false};
  win::HANDLE stopEvent_ = nullptr;
  win::HANDLE runEvent_ = nullptr;
  win::IStream* stream_ = nullptr;
  win::UINT frameCount_ = 0;
  std::vector<uint32_t> delays_;  // hundredths of a second per frame
  win::HWND target_ = nullptr;
  int x_ = 0;
  int y_ = 0;
  std::thread thread_;
  std::atomic<uint64_t> framesDrawn_{0};
};

}  // namespace qz
