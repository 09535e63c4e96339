// OS facts, shaped like GetVersionExW, VerifyVersionInfoW, GetNativeSystemInfo, IsWow64Process,
// the UI language and the ANSI code page conversions.
#pragma once

#include <string>
#include <string_view>

#include "platform/types.h"

namespace win {

constexpr DWORD VER_PLATFORM_WIN32_NT = 2;
constexpr BYTE VER_NT_WORKSTATION = 1;
constexpr BYTE VER_NT_DOMAIN_CONTROLLER = 2;
constexpr BYTE VER_NT_SERVER = 3;

constexpr DWORD VER_MINORVERSION = 0x1;
constexpr DWORD VER_MAJORVERSION = 0x2;
constexpr DWORD VER_BUILDNUMBER = 0x4;
constexpr DWORD VER_PLATFORMID = 0x8;
constexpr DWORD VER_SERVICEPACKMINOR = 0x10;
constexpr DWORD VER_SERVICEPACKMAJOR = 0x20;
constexpr DWORD VER_PRODUCT_TYPE = 0x80;
constexpr BYTE VER_EQUAL = 1;
constexpr BYTE VER_GREATER = 2;
constexpr BYTE VER_GREATER_EQUAL = 3;
constexpr BYTE VER_LESS = 4;
constexpr BYTE VER_LESS_EQUAL = 5;

constexpr WORD PROCESSOR_ARCHITECTURE_INTEL = 0;
constexpr WORD PROCESSOR_ARCHITECTURE_IA64 = 6;
constexpr WORD PROCESSOR_ARCHITECTURE_AMD64 = 9;

constexpr UINT CP_ACP = 0;
constexpr UINT CP_UTF8 = 65001;

struct OSVERSIONINFOEXW {
  DWORD dwOSVersionInfoSize = 284;
  DWORD dwMajorVersion = 0;
  DWORD dwMinorVersion = 0;
  DWORD dwBuildNumber = 0;
  DWORD dwPlatformId = 0;
  std::u16string szCSDVersion;  // at most 127 characters
  WORD wServicePackMajor = 0;
  WORD wServicePackMinor = 0;
  WORD wSuiteMask = 0;
  BYTE wProductType = 0;
};

struct SYSTEM_INFO {
  WORD wProcessorArchitecture = 0;
  DWORD dwNumberOfProcessors = 1;
  DWORD dwPageSize = 4096;
};

// VerSetConditionMask: three bits of condition per type bit, as Windows packs them.
ULONGLONG VerSetConditionMask(ULONGLONG mask, DWORD typeBit, BYTE condition);

class IOsInfo {
 public:
  virtual ~IOsInfo() = default;
  virtual BOOL GetVersionExW(OSVERSIONINFOEXW* info) = 0;
  virtual BOOL VerifyVersionInfoW(const OSVERSIONINFOEXW& info, DWORD typeMask, ULONGLONG conditionMask) = 0;
  // False when kernel32 has no GetNativeSystemInfo (Windows 2000); the caller then uses GetSystemInfo.
  virtual BOOL GetNativeSystemInfo(SYSTEM_INFO* info) = 0;
  virtual void GetSystemInfo(SYSTEM_INFO* info) = 0;
  virtual BOOL IsWow64Process(BOOL* wow64) = 0;
  virtual LANGID GetUserDefaultUILanguage() = 0;
  virtual UINT GetACP() = 0;
  // MultiByteToWideChar / WideCharToMultiByte for CP_ACP and CP_UTF8. Characters the ANSI code page
  // cannot hold become '?', as Windows does.
  virtual std::u16string MultiByteToWide(UINT codePage, std::string_view bytes) = 0;
  virtual std::string WideToMultiByte(UINT codePage, std::u16string_view text) = 0;
  virtual std::u16string GetComputerNameW() = 0;
};

}  // namespace win
