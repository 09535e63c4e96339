#include "syscontrol/media_control.h"

namespace qz {

using namespace win;

namespace {
constexpr char16_t kTag[] = u"MediaController";
}

void MediaController::LoadComDrvFunction(std::u16string_view folder) {
  // By its full path: the library is the agent's, never one found elsewhere on the search path.
  HMODULE m = Libraries().LoadLibraryW(Fmt(u"%s\\qzComDrv.dll", folder));
  if (!m) {
    log_.Log(kTag, u"LoadComDrvFunction", kLogInfo, u"%u - Not found in [%s]", GetLastError(), folder);
    return;
  }
  for (const char* name : {"StartCutProc", "StopCutProc", "SetProcLstCutProc", "TerminateScanProc"}) {
    if (!Libraries().GetProcAddress(m, name)) {
      log_.Log(kTag, u"LoadComDrvFunction", kLogWarning, u"Fail to load process cut function");
      Libraries().FreeLibrary(m);
      return;
    }
  }
  auto usb = reinterpret_cast<StateFunction>(Libraries().GetProcAddress(m, "SetUSBStorUseState"));
  auto wifi = reinterpret_cast<StateFunction>(Libraries().GetProcAddress(m, "SetWIFIUseState"));
  auto bluetooth = reinterpret_cast<StateFunction>(Libraries().GetProcAddress(m, "SetBluetoothUseState"));
  if (!usb || !wifi || !bluetooth) {
    log_.Log(kTag, u"LoadComDrvFunction", kLogWarning, u"Fail to load media control function");
    Libraries().FreeLibrary(m);
    return;
  }
  module_ = m;
  usb_.function = usb;
  wifi_.function = wifi;
  bluetooth_.function = bluetooth;
  loaded_ = true;
}

void MediaController::Disable(State& state, std::u16string_view operation) {
  if (state.done) return;
  if (!state.function) {
    log_.Log(kTag, operation, kLogWarning, u"Function not loaded");
    return;
  }
  if (state.function(0) != 0) {
    log_.Log(kTag, operation, kLogSystem, u"Success to disable block");
    state.done = true;
  } else {
    log_.Log(kTag, operation, kLogSystem, u"Fail to disable block");
  }
}

void MediaController::SetUSBStorageBlock() { Disable(usb_, u"SetUSBStorageBlock"); }
void MediaController::SetWifiBlock() { Disable(wifi_, u"SetWifiBlock"); }
void MediaController::SetBluetoothBlock() { Disable(bluetooth_, u"SetBluetoothBlock"); }

}  // namespace qz
