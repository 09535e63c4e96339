// qzComDrv.dll stand-in: the media control library's seven exports. Each call is recorded in the
// machine's journal through the OutputDebugStringW the loader binds. The state exports answer
// with QZCOMDRV_RESULT (default 1, success). Builds with QZCOMDRV_NO_CUT or QZCOMDRV_NO_MEDIA
// leave one export out, as a damaged or older library would.
#include <cstdio>
#include <cstdlib>
#include <string>

#define QZ_EXPORT extern "C" __attribute__((visibility("default")))

extern "C" {
__attribute__((visibility("default"))) void (*winsim_import_OutputDebugStringW)(const char16_t*) = nullptr;
}

namespace {

void Record(const char* call, int arg, int result) {
  if (!winsim_import_OutputDebugStringW) return;
  char buf[128];
  std::snprintf(buf, sizeof buf, "qzComDrv: %s(%d) = %d", call, arg, result);
  std::u16string text;
  for (const char* p = buf; *p; ++p) text.push_back(static_cast<char16_t>(*p));
  winsim_import_OutputDebugStringW(text.c_str());
}

int StateResult() {
  const char* v = std::getenv("QZCOMDRV_RESULT");
  return v && *v ? std::atoi(v) : 1;
}

}  // namespace

QZ_EXPORT int StartCutProc() {
  Record("StartCutProc", 0, 1);
  return 1;
}
#ifndef QZCOMDRV_NO_CUT
QZ_EXPORT int StopCutProc() {
  Record("StopCutProc", 0, 1);
  return 1;
}
#endif
QZ_EXPORT int SetProcLstCutProc(const wchar_t*) {
  Record("SetProcLstCutProc", 0, 1);
  return 1;
}
QZ_EXPORT int TerminateScanProc() {
  Record("TerminateScanProc", 0, 1);
  return 1;
}
QZ_EXPORT int SetUSBStorUseState(int state) {
  int r = StateResult();
  Record("SetUSBStorUseState", state, r);
  return r;
}
#ifndef QZCOMDRV_NO_MEDIA
QZ_EXPORT int SetWIFIUseState(int state) {
  int r = StateResult();
  Record("SetWIFIUseState", state, r);
  return r;
}
#endif
QZ_EXPORT int SetBluetoothUseState(int state) {
  int r = StateResult();
  Record("SetBluetoothUseState", state, r);
  return r;
}
