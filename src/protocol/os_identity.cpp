#include "protocol/os_identity.h"

#include "platform/platform.h"

namespace qz {

using namespace win;

namespace {

// The manifest-independent minor version: the first of 3, 2, 1, 0 that the system confirms.
DWORD RealMinorVersion(DWORD reported) {
  for (DWORD minor : {3u, 2u, 1u, 0u}) {
    OSVERSIONINFOEXW probe;
    probe.dwMinorVersion = minor;
    ULONGLONG cond = VerSetConditionMask(0, VER_MINORVERSION, VER_EQUAL);
    if (Os().VerifyVersionInfoW(probe, VER_MINORVERSION, cond)) return minor;
  }
  return reported;
}

}  // namespace

bool IdentifyOs(OsInformation* info) {
  *info = OsInformation{};
  OSVERSIONINFOEXW v;
  v.dwOSVersionInfoSize = 284;
  if (!Os().GetVersionExW(&v)) return false;

  SYSTEM_INFO si;
  if (!Os().GetNativeSystemInfo(&si)) Os().GetSystemInfo(&si);
  const WORD arch = si.wProcessorArchitecture;

  if (v.dwPlatformId != VER_PLATFORM_WIN32_NT || v.dwMajorVersion <= 4) return false;

  const bool client = v.wProductType == VER_NT_WORKSTATION;
  uint32_t code = 0;
  if (v.dwMajorVersion == 6 || v.dwMajorVersion == 10) {
    info->is64Bit = arch == PROCESSOR_ARCHITECTURE_AMD64;
    const DWORD minor = RealMinorVersion(v.dwMinorVersion);
    const bool x64 = info->is64Bit;
    if (v.dwMajorVersion == 10) {
      if (minor == 0) code = client ? (x64 ? 0x200000u : 0x20u) : 0x20000000u;
    } else if (minor == 0) {
      code = client ? (x64 ? 0x20000u : 0x2u) : (x64 ? 0x2000000u : 0x200u);
    } else if (minor >= 1 && minor <= 3) {
      const uint32_t bit = 1u << (minor + 1);  // 7: bit 2, 8: bit 3, 8.1: bit 4
      code = client ? (x64 ? bit << 16 : bit) : bit << 24;
    }
  } else if (v.dwMajorVersion == 5) {
    if (v.dwMinorVersion == 1) {
      code = 0x1;
    } else if (v.dwMinorVersion == 2) {
      code = 0x100;
      if (client && arch == PROCESSOR_ARCHITECTURE_AMD64) {
        code = 0x10000;
        info->is64Bit = true;
      } else if (!client && (arch == PROCESSOR_ARCHITECTURE_IA64 || arch == PROCESSOR_ARCHITECTURE_AMD64)) {
        code = 0x1000000;
        info->is64Bit = true;
      }
    }
  }
  info->osCode = code;

  // "Service Pack 3": the digit is the fourteenth character. A shorter or other text counts as
  // no service pack rather than reading past it.
  if (v.szCSDVersion.size() >= 14 && v.szCSDVersion[13] >= u'0' && v.szCSDVersion[13] <= u'9') {
    info->servicePack = static_cast<uint32_t>(v.szCSDVersion[13] - u'0');
  }
  return true;
}

}  // namespace qz
