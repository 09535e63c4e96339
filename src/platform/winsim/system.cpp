// Time, OS facts, message boxes and GUIDs of a simulated machine.
#include <iconv.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <random>
#include <thread>

#include "platform/text.h"
#include "platform/winsim/services.h"
#include "platform/winsim/windows_internal.h"

namespace winsim {

using namespace win;

namespace {
double ScaleFrom(const char* name);
}

double TimeScale() {
  static const double scale = ScaleFrom("WINSIM_TIME_SCALE");
  return scale;
}

namespace {

double ScaleFrom(const char* name) {
  const char* v = std::getenv(name);
  if (!v || !*v) return 1.0;
  char* end = nullptr;
  double d = std::strtod(v, &end);
  return (end == v || !std::isfinite(d) || d < 0) ? 1.0 : d;
}

// Time-outs of waits for I/O completions are real by default; a test that must run into one on
// purpose shortens them with WINSIM_IO_TIMEOUT_SCALE instead of waiting the full time.
double IoTimeoutScale() {
  static const double scale = ScaleFrom("WINSIM_IO_TIMEOUT_SCALE");
  return scale;
}

DWORD Scaled(DWORD ms, double scale) {
  if (ms == INFINITE) return ms;
  return static_cast<DWORD>(std::llround(static_cast<double>(ms) * scale));
}

class WinsimTime : public ITime {
 public:
  explicit WinsimTime(std::shared_ptr<Machine> m) : m_(std::move(m)) {}

  uint64_t GetSystemTimeMs() override {
    auto now = std::chrono::system_clock::now().time_since_epoch();
    int64_t ms = std::chrono::duration_cast<std::chrono::milliseconds>(now).count();
    return static_cast<uint64_t>(ms + m_->Config().clockOffsetMs);
  }
  SYSTEMTIME GetSystemTime() override { return SystemTimeFromUnixMs(GetSystemTimeMs()); }
  SYSTEMTIME GetLocalTime() override { return UtcMsToLocal(GetSystemTimeMs()); }
  SYSTEMTIME UtcMsToLocal(uint64_t utcMs) override {
    int64_t local = static_cast<int64_t>(utcMs) + static_cast<int64_t>(m_->Config().tzOffsetMinutes) * 60000;
    return SystemTimeFromUnixMs(static_cast<uint64_t>(local < 0 ? 0 : local));
  }
  uint64_t GetTickCount64() override {
    auto now = std::chrono::steady_clock::now().time_since_epoch();
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(now).count());
  }
  void Sleep(DWORD ms) override {
    DWORD s = Scaled(ms, TimeScale());
    if (s) std::this_thread::sleep_for(std::chrono::milliseconds(s));
  }
  HANDLE CreateEventW(BOOL manualReset, BOOL initialState) override {
    return Handles().Add(std::make_shared<EventObject>(manualReset != 0, initialState != 0));
  }
  BOOL SetEvent(HANDLE h) override {
    auto e = Handles().GetAs<EventObject>(h);
    if (!e) {
      SetLastError(ERROR_INVALID_HANDLE);
      return FALSE;
    }
    e->Set();
    return TRUE;
  }
  BOOL ResetEvent(HANDLE h) override {
    auto e = Handles().GetAs<EventObject>(h);
    if (!e) {
      SetLastError(ERROR_INVALID_HANDLE);
      return FALSE;
    }
    e->Reset();
    return TRUE;
  }
  DWORD WaitForSingleObject(HANDLE h, DWORD ms, WaitKind kind) override {
    auto o = Handles().Get(h);
    if (!o || !o->IsWaitable()) {
      SetLastError(ERROR_INVALID_HANDLE);
      return WAIT_FAILED;
    }
    return o->Wait(Scaled(ms, kind == WaitKind::Pause ? TimeScale() : IoTimeoutScale())) ? WAIT_OBJECT_0
                                                                                           : WAIT_TIMEOUT;
  }

 private:
  std::shared_ptr<Machine> m_;
};

std::string Iconv(const char* to, const char* from, std::string_view in, bool* ok) {
  *ok = true;
  iconv_t cd = iconv_open(to, from);
  if (cd == reinterpret_cast<iconv_t>(-1)) {
    *ok = false;
    return {};
  }
  std::string out(in.size() * 4 + 16, '\0');
  char* src = const_cast<char*>(in.data());
  size_t srcLeft = in.size();
  char* dst = out.data();
  size_t dstLeft = out.size();
  if (iconv(cd, &src, &srcLeft, &dst, &dstLeft) == static_cast<size_t>(-1)) *ok = false;
  iconv_close(cd);
  out.resize(out.size() - dstLeft);
  return out;
}

const char* CodePageName(UINT cp) {
  switch (cp) {
    case 949:
      return "CP949";
    case 932:
      return "CP932";
    case 936:
      return "CP936";
    case 1251:
      return "CP1251";
    default:
      return "CP1252";
  }
}

class WinsimOs : public IOsInfo {
 public:
  explicit WinsimOs(std::shared_ptr<Machine> m) : m_(m), reg_(MakeRegistry(m)) {}

  BOOL GetVersionExW(OSVERSIONINFOEXW* info) override {
    if (!info || (info->dwOSVersionInfoSize != 284 && info->dwOSVersionInfoSize != 276)) {
      SetLastError(ERROR_INSUFFICIENT_BUFFER);
      return FALSE;
    }
    Facts f = Read();
    info->dwMajorVersion = f.major;
    info->dwMinorVersion = f.minor;
    info->dwBuildNumber = f.build;
    info->dwPlatformId = VER_PLATFORM_WIN32_NT;
    info->szCSDVersion = f.csd.substr(0, 127);
    info->wServicePackMajor = f.spMajor;
    info->wServicePackMinor = 0;
    info->wSuiteMask = 0;
    info->wProductType = f.productType;
    return TRUE;
  }

  BOOL VerifyVersionInfoW(const OSVERSIONINFOEXW& want, DWORD typeMask, ULONGLONG cond) override {
    if (typeMask == 0 || cond == 0) {
      SetLastError(ERROR_BAD_ARGUMENTS_);
      return FALSE;
    }
    Facts f = Read();
    auto condOf = [&](DWORD bit) -> BYTE {
      int index = 0;
      while (bit > 1) {
        bit >>= 1;
        ++index;
      }
      return static_cast<BYTE>((cond >> (index * 3)) & 7);
    };
    auto check = [](uint64_t have, uint64_t want, BYTE c) {
      switch (c) {
        case VER_EQUAL: return have == want;
        case VER_GREATER: return have > want;
        case VER_GREATER_EQUAL: return have >= want;
        case VER_LESS: return have < want;
        case VER_LESS_EQUAL: return have <= want;
        default: return false;
      }
    };
    bool ok = true;
    if (typeMask & VER_MAJORVERSION) ok = ok && check(f.major, want.dwMajorVersion, condOf(VER_MAJORVERSION));
    if (typeMask & VER_MINORVERSION) ok = ok && check(f.minor, want.dwMinorVersion, condOf(VER_MINORVERSION));
    if (typeMask & VER_BUILDNUMBER) ok = ok && check(f.build, want.dwBuildNumber, condOf(VER_BUILDNUMBER));
    if (typeMask & VER_PLATFORMID) ok = ok && check(VER_PLATFORM_WIN32_NT, want.dwPlatformId, condOf(VER_PLATFORMID));
    if (typeMask & VER_SERVICEPACKMAJOR)
      ok = ok && check(f.spMajor, want.wServicePackMajor, condOf(VER_SERVICEPACKMAJOR));
    if (typeMask & VER_PRODUCT_TYPE) ok = ok && check(f.productType, want.wProductType, condOf(VER_PRODUCT_TYPE));
    if (!ok) SetLastError(ERROR_OLD_WIN_VERSION_);
    return ok ? TRUE : FALSE;
  }

  BOOL GetNativeSystemInfo(SYSTEM_INFO* info) override {
    Facts f = Read();
    if (f.major < 5 || (f.major == 5 && f.minor == 0)) {
      SetLastError(ERROR_PROC_NOT_FOUND);
      return FALSE;  // kernel32 of Windows 2000 has no such export
    }
    info->wProcessorArchitecture = m_->Config().arch;
    return TRUE;
  }
  void GetSystemInfo(SYSTEM_INFO* info) override {
    info->wProcessorArchitecture = m_->IsWow64() ? PROCESSOR_ARCHITECTURE_INTEL : m_->Config().arch;
  }
  BOOL IsWow64Process(BOOL* wow64) override {
    *wow64 = m_->IsWow64() ? TRUE : FALSE;
    return TRUE;
  }
  LANGID GetUserDefaultUILanguage() override { return m_->Config().uiLanguage; }
  UINT GetACP() override { return m_->Config().codePage; }

  std::u16string MultiByteToWide(UINT cp, std::string_view bytes) override {
    if (cp == CP_UTF8) return Utf8ToWide(bytes);
    bool ok = false;
    std::string utf8 = Iconv("UTF-8", CodePageName(cp == CP_ACP ? GetACP() : cp), bytes, &ok);
    if (ok) return Utf8ToWide(utf8);
    // Convert what can be converted, one byte or lead/trail pair at a time.
    std::u16string out;
    for (size_t i = 0; i < bytes.size();) {
      bool one = false;
      size_t take = 1;
      std::string part;
      if (static_cast<unsigned char>(bytes[i]) >= 0x80 && i + 1 < bytes.size()) {
        part = Iconv("UTF-8", CodePageName(cp == CP_ACP ? GetACP() : cp), bytes.substr(i, 2), &one);
        if (one) take = 2;
      }
      if (!one) part = Iconv("UTF-8", CodePageName(cp == CP_ACP ? GetACP() : cp), bytes.substr(i, 1), &one);
      out += one ? Utf8ToWide(part) : std::u16string(1, u'?');
      i += take;
    }
    return out;
  }

  std::string WideToMultiByte(UINT cp, std::u16string_view text) override {
    if (cp == CP_UTF8) return WideToUtf8(text);
    const char* name = CodePageName(cp == CP_ACP ? GetACP() : cp);
    bool ok = false;
    std::string all = Iconv(name, "UTF-8", WideToUtf8(text), &ok);
    if (ok) return all;
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
      size_t n = (text[i] >= 0xD800 && text[i] < 0xDC00 && i + 1 < text.size()) ? 2 : 1;
      bool one = false;
      std::string part = Iconv(name, "UTF-8", WideToUtf8(text.substr(i, n)), &one);
      out += one ? part : std::string("?");
      i += n - 1;
    }
    return out;
  }

  std::u16string GetComputerNameW() override { return Utf8ToWide(m_->Config().computerName); }

 private:
  static constexpr DWORD ERROR_BAD_ARGUMENTS_ = 160;
  static constexpr DWORD ERROR_OLD_WIN_VERSION_ = 1150;

  struct Facts {
    DWORD major = 0, minor = 0, build = 0;
    std::u16string csd;
    WORD spMajor = 0;
    BYTE productType = 1;
  };

  Facts Read() {
    Facts f;
    HKEY k = nullptr;
    if (reg_->RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion", 0,
                            KEY_READ | KEY_WOW64_64KEY, &k) == ERROR_SUCCESS) {
      f.major = ReadDword(k, u"CurrentMajorVersionNumber");
      f.minor = ReadDword(k, u"CurrentMinorVersionNumber");
      std::u16string build = ReadSz(k, u"CurrentBuildNumber");
      f.build = static_cast<DWORD>(std::strtoul(WideToUtf8(build).c_str(), nullptr, 10));
      f.csd = ReadSz(k, u"CSDVersion");
      reg_->RegCloseKey(k);
    }
    std::string csd = WideToUtf8(f.csd);
    if (csd.rfind("Service Pack ", 0) == 0) f.spMajor = static_cast<WORD>(std::atoi(csd.c_str() + 13));
    if (reg_->RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SYSTEM\\CurrentControlSet\\Control\\ProductOptions", 0,
                            KEY_READ | KEY_WOW64_64KEY, &k) == ERROR_SUCCESS) {
      std::u16string t = ReadSz(k, u"ProductType");
      f.productType = EqualsNoCase(t, u"WinNT") ? 1 : EqualsNoCase(t, u"LanmanNT") ? 2 : 3;
      reg_->RegCloseKey(k);
    }
    return f;
  }
  DWORD ReadDword(HKEY k, std::u16string_view name) {
    DWORD v = 0, size = 4, type = 0;
    if (reg_->RegQueryValueExW(k, name, &type, reinterpret_cast<BYTE*>(&v), &size) != ERROR_SUCCESS) return 0;
    return v;
  }
  std::u16string ReadSz(HKEY k, std::u16string_view name) {
    DWORD size = 0, type = 0;
    if (reg_->RegQueryValueExW(k, name, &type, nullptr, &size) != ERROR_SUCCESS) return {};
    std::u16string s(size / 2 + 1, u'\0');
    if (reg_->RegQueryValueExW(k, name, &type, reinterpret_cast<BYTE*>(s.data()), &size) != ERROR_SUCCESS) return {};
    s.resize(size / 2);
    while (!s.empty() && s.back() == 0) s.pop_back();
    return s;
  }

  std::shared_ptr<Machine> m_;
  std::unique_ptr<IRegistry> reg_;
};

class WinsimUi : public IUserInterface {
 public:
  explicit WinsimUi(std::shared_ptr<Machine> m) : m_(std::move(m)) {}
  int MessageBoxW(HWND owner, std::u16string_view text, std::u16string_view caption, UINT type) override {
    int answer = m_->Config().messageBoxAnswer;
    if (answer == 0) answer = (type & 0xF) == MB_YESNO ? IDYES : IDOK;
    try {
      m_->WithState([&](Db& db) {
        auto now = std::chrono::system_clock::now().time_since_epoch();
        db.Prepare(
              "INSERT INTO journal(time, pid, image, kind, owner, caption, text, flags, answer)"
              " VALUES(?,?,?,?,?,?,?,?,?)")
            .Bind(1, std::chrono::duration_cast<std::chrono::milliseconds>(now).count())
            .Bind(2, static_cast<int64_t>(getpid()))
            .Bind(3, WideToUtf8(ImageName()))
            .Bind(4, "MessageBox")
            .Bind(5, static_cast<int64_t>(reinterpret_cast<uintptr_t>(owner)))
            .Bind(6, WideToUtf8(caption))
            .Bind(7, WideToUtf8(text))
            .Bind(8, static_cast<int64_t>(type))
            .Bind(9, static_cast<int64_t>(answer))
            .Step();
        return 0;
      });
    } catch (...) {
      return 0;  // as MessageBox does when it cannot show anything
    }
    return answer;
  }

 private:
  std::u16string ImageName() {
    const std::u16string& p = m_->self().imagePath;
    size_t slash = p.find_last_of(u"\\/");
    return slash == std::u16string::npos ? p : p.substr(slash + 1);
  }
  std::shared_ptr<Machine> m_;
};

class WinsimCom : public ICom {
 public:
  explicit WinsimCom(std::shared_ptr<Machine> m) : m_(std::move(m)) {}
  HRESULT CoCreateGuid(GUID* guid) override {
    if (m_->Config().failCoCreateGuid) return E_FAIL;
    std::random_device rd;
    uint8_t b[16];
    for (auto& x : b) x = static_cast<uint8_t>(rd());
    b[6] = static_cast<uint8_t>((b[6] & 0x0F) | 0x40);
    b[8] = static_cast<uint8_t>((b[8] & 0x3F) | 0x80);
    guid->Data1 = static_cast<DWORD>(b[0]) << 24 | static_cast<DWORD>(b[1]) << 16 | static_cast<DWORD>(b[2]) << 8 | b[3];
    guid->Data2 = static_cast<WORD>(b[4] << 8 | b[5]);
    guid->Data3 = static_cast<WORD>(b[6] << 8 | b[7]);
    for (int i = 0; i < 8; ++i) guid->Data4[i] = b[8 + i];
    return S_OK;
  }

 private:
  std::shared_ptr<Machine> m_;
};

}  // namespace

std::unique_ptr<ITime> MakeTime(std::shared_ptr<Machine> m) { return std::make_unique<WinsimTime>(m); }
std::unique_ptr<IOsInfo> MakeOsInfo(std::shared_ptr<Machine> m) { return std::make_unique<WinsimOs>(m); }
std::unique_ptr<IUserInterface> MakeUi(std::shared_ptr<Machine> m) { return std::make_unique<WinsimUi>(m); }
std::unique_ptr<ICom> MakeCom(std::shared_ptr<Machine> m) { return std::make_unique<WinsimCom>(m); }

WinsimPlatform::WinsimPlatform(std::shared_ptr<Machine> machine) : machine_(std::move(machine)) {
  SetRegistry(MakeRegistry(machine_));
  SetFiles(MakeFiles(machine_));
  SetOs(MakeOsInfo(machine_));
  SetProcesses(MakeProcesses(machine_));
  SetTime(MakeTime(machine_));
  SetUi(MakeUi(machine_));
  SetCom(MakeCom(machine_));
  SetHttp(MakeHttp(machine_));
  SetServices(MakeServiceManager(machine_));
  SetRpc(MakeRpc(machine_));
  SetLibraries(MakeLibraries(machine_));
  SetTasks(MakeTasks(machine_));
  SetDesktop(MakeDesktop(machine_));
  SetSecurity(MakeSecurity(machine_));
  SetResources(MakeResources(machine_));
  SetWindows(MakeWindows(machine_));
}

std::unique_ptr<WinsimPlatform> OpenPlatform(const std::string& root, ProcessIdentity self) {
  return std::make_unique<WinsimPlatform>(std::make_shared<Machine>(root, std::move(self)));
}


}  // namespace winsim

namespace win {
ULONGLONG VerSetConditionMask(ULONGLONG mask, DWORD typeBit, BYTE condition) {
  int index = 0;
  while (typeBit > 1) {
    typeBit >>= 1;
    ++index;
  }
  return mask | (static_cast<ULONGLONG>(condition & 7) << (index * 3));
}
}  // namespace win
