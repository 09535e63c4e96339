// The media control library qzComDrv.dll: loaded from the install folder at uninstall time to set
// USB storage, Wi-Fi and Bluetooth back to usable. Log tag "MediaController".
#pragma once

#include <string_view>

#include "logging/ilogger.h"
#include "platform/platform.h"

namespace qz {

class MediaController {
 public:
  explicit MediaController(ILogger& log) : log_(log) {}
  MediaController(const MediaController&) = delete;
  MediaController& operator=(const MediaController&) = delete;

  // Loads folder\qzComDrv.dll and requires its seven exports; it stays loaded for the rest of the
  // process.
  void LoadComDrvFunction(std::u16string_view folder);
  bool IsLoaded() const { return loaded_; }

  // Each passes 0 to its export once; after a success it does nothing again.
  void SetUSBStorageBlock();
  void SetWifiBlock();
  void SetBluetoothBlock();

 private:
  using StateFunction = int (*)(int);
  struct State {
    StateFunction function = nullptr;
    bool done = false;
  };
  void Disable(State& state, std::u16string_view operation);

  ILogger& log_;
  win::HMODULE module_ = nullptr;
  bool loaded_ = false;
  State usb_, wifi_, bluetooth_;
};

}  // namespace qz
