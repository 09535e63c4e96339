// OS facts of the running Windows: its version as the manifest lets the program see it, WOW64, the
// UI language and the code page conversions of the API itself.
#include "platform/os.h"
#include "platform/win32/services.h"

#include "platform/win32/kernel_exports.h"
#include "platform/win32/win_api.h"

namespace win32 {

namespace {

::OSVERSIONINFOEXW ToApi(const win::OSVERSIONINFOEXW& in) {
  ::OSVERSIONINFOEXW v{};
  v.dwOSVersionInfoSize = sizeof v;
  v.dwMajorVersion = in.dwMajorVersion;
  v.dwMinorVersion = in.dwMinorVersion;
  v.dwBuildNumber = in.dwBuildNumber;
  v.dwPlatformId = in.dwPlatformId;
  std::u16string csd = in.szCSDVersion.substr(0, 127);
  for (size_t i = 0; i < csd.size(); ++i) v.szCSDVersion[i] = static_cast<wchar_t>(csd[i]);
  v.wServicePackMajor = in.wServicePackMajor;
  v.wServicePackMinor = in.wServicePackMinor;
  v.wSuiteMask = in.wSuiteMask;
  v.wProductType = in.wProductType;
  return v;
}

void CopySystemInfo(const ::SYSTEM_INFO& in, win::SYSTEM_INFO* out) {
  out->wProcessorArchitecture = in.wProcessorArchitecture;
  out->dwNumberOfProcessors = in.dwNumberOfProcessors;
  out->dwPageSize = in.dwPageSize;
}

class Win32Os : public win::IOsInfo {
 public:
  win::BOOL GetVersionExW(win::OSVERSIONINFOEXW* info) override {
    if (!info) {
      ::SetLastError(ERROR_INVALID_PARAMETER);
      return FALSE;
    }
    ::OSVERSIONINFOEXW v{};
    // The caller's size decides, as it does for the API: the short form leaves the extended fields out.
    v.dwOSVersionInfoSize = info->dwOSVersionInfoSize;
    if (!::GetVersionExW(reinterpret_cast<::OSVERSIONINFOW*>(&v))) return FALSE;
    info->dwMajorVersion = v.dwMajorVersion;
    info->dwMinorVersion = v.dwMinorVersion;
    info->dwBuildNumber = v.dwBuildNumber;
    info->dwPlatformId = v.dwPlatformId;
    v.szCSDVersion[127] = 0;
    info->szCSDVersion = U(v.szCSDVersion);
    if (info->dwOSVersionInfoSize >= sizeof(::OSVERSIONINFOEXW)) {
      info->wServicePackMajor = v.wServicePackMajor;
      info->wServicePackMinor = v.wServicePackMinor;
      info->wSuiteMask = v.wSuiteMask;
      info->wProductType = v.wProductType;
    }
    return TRUE;
  }

  win::BOOL VerifyVersionInfoW(const win::OSVERSIONINFOEXW& info, win::DWORD typeMask,
                               win::ULONGLONG conditionMask) override {
    ::OSVERSIONINFOEXW v = ToApi(info);
    return ::VerifyVersionInfoW(&v, typeMask, conditionMask) ? TRUE : FALSE;
  }

  win::BOOL GetNativeSystemInfo(win::SYSTEM_INFO* info) override {
    using Fn = void(WINAPI*)(::LPSYSTEM_INFO);
    static const Fn native = Export<Fn>(L"kernel32.dll", "GetNativeSystemInfo");
    if (!native) {
      ::SetLastError(ERROR_PROC_NOT_FOUND);
      return FALSE;
    }
    ::SYSTEM_INFO si{};
    native(&si);
    CopySystemInfo(si, info);
    return TRUE;
  }

  void GetSystemInfo(win::SYSTEM_INFO* info) override {
    ::SYSTEM_INFO si{};
    ::GetSystemInfo(&si);
    CopySystemInfo(si, info);
  }

  win::BOOL IsWow64Process(win::BOOL* wow64) override {
    using Fn = ::BOOL(WINAPI*)(::HANDLE, ::PBOOL);
    static const Fn isWow64 = Export<Fn>(L"kernel32.dll", "IsWow64Process");
    ::BOOL result = FALSE;
    // A kernel32 without the export runs no 32-bit program under a 64-bit Windows.
    if (isWow64 && !isWow64(::GetCurrentProcess(), &result)) return FALSE;
    *wow64 = result ? TRUE : FALSE;
    return TRUE;
  }

  win::LANGID GetUserDefaultUILanguage() override { return ::GetUserDefaultUILanguage(); }
  win::UINT GetACP() override { return ::GetACP(); }

  std::u16string MultiByteToWide(win::UINT codePage, std::string_view bytes) override {
    if (bytes.empty()) return {};
    const int n = static_cast<int>(bytes.size());
    int size = ::MultiByteToWideChar(codePage, 0, bytes.data(), n, nullptr, 0);
    if (size <= 0) return {};
    std::u16string out(static_cast<size_t>(size), u'\0');
    size = ::MultiByteToWideChar(codePage, 0, bytes.data(), n, W(out.data()), size);
    out.resize(size > 0 ? static_cast<size_t>(size) : 0);
    return out;
  }

  std::string WideToMultiByte(win::UINT codePage, std::u16string_view text) override {
    if (text.empty()) return {};
    const int n = static_cast<int>(text.size());
    const wchar_t* in = reinterpret_cast<const wchar_t*>(text.data());
    // The API's default character for the ANSI code pages is '?'; UTF-8 takes none.
    int size = ::WideCharToMultiByte(codePage, 0, in, n, nullptr, 0, nullptr, nullptr);
    if (size <= 0) return {};
    std::string out(static_cast<size_t>(size), '\0');
    size = ::WideCharToMultiByte(codePage, 0, in, n, out.data(), size, nullptr, nullptr);
    out.resize(size > 0 ? static_cast<size_t>(size) : 0);
    return out;
  }

  std::u16string GetComputerNameW() override {
    wchar_t name[MAX_COMPUTERNAME_LENGTH + 1] = {};
    DWORD size = MAX_COMPUTERNAME_LENGTH + 1;
    if (!::GetComputerNameW(name, &size)) return {};
    return U(name, size);
  }
};

}  // namespace

std::unique_ptr<win::IOsInfo> MakeOsInfo() { return std::make_unique<Win32Os>(); }

}  // namespace win32

namespace win {
ULONGLONG VerSetConditionMask(ULONGLONG mask, DWORD typeBit, BYTE condition) {
  return ::VerSetConditionMask(mask, typeBit, condition);
}
}  // namespace win
