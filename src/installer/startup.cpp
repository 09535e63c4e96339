// The installer's start-up pieces.
#include "installer/startup.h"

#include "platform/platform.h"
#include "platform/text.h"

namespace qz {

namespace {

struct TextEntry {
  int id;
  const char16_t* english;
  const char16_t* korean;
};

constexpr TextEntry kTexts[] = {
    {300, u"Currently installing or removing", u"현재 설치 또는 삭제중 입니다."},
    {301, u"The agent installation file is corrupted.\r\nPlease download it again.", u"에이전트 설치파일이 손상되었습니다."},
    {303, u"Installation or uninstallation can not continue.(%d)", u"설치 또는 삭제를 진행할 수 없습니다.(%d)"},
    {304, u"Can be installed only on windows xp sp3 or later", u"Windows XP SP3 이전 버전 사용자는 설치가 불가능합니다."},
    {305, u"Installation can not proceed.(%d)", u"설치를 진행할 수 없습니다.(%d)"},
    {306, u"VH-KSM Agent has been deleted.", u"에이전트를 삭제하였습니다"},
    {320, u"Duplicate execution", u"중복 실행"},
    {321, u"Decompression error", u"압축 해제 오류"},
    {322, u"Default setting error", u"기본 설정 에러"},
    {323, u"Default setting error2", u"기본 설정 에러2"},
    {341, u"Installed... Automatically closes after 5s.", u"설치완료... 5초후 자동종료 됩니다."},
};

}  // namespace

std::u16string InstallerText(int id, bool korean) {
  for (const auto& t : kTexts) {
    if (t.id == id) return korean ? t.korean : t.english;
  }
  return {};
}

bool WindowsVersionIs(win::DWORD major, int minor, int spMajor, int productType) {
  win::OSVERSIONINFOEXW want;
  want.dwMajorVersion = major;
  win::DWORD mask = win::VER_MAJORVERSION;
  win::ULONGLONG cond = win::VerSetConditionMask(0, win::VER_MAJORVERSION, win::VER_EQUAL);
  if (minor >= 0) {
    want.dwMinorVersion = static_cast<win::DWORD>(minor);
    mask |= win::VER_MINORVERSION;
    cond = win::VerSetConditionMask(cond, win::VER_MINORVERSION, win::VER_EQUAL);
  }
  if (spMajor >= 0) {
    want.wServicePackMajor = static_cast<win::WORD>(spMajor);
    mask |= win::VER_SERVICEPACKMAJOR;
    cond = win::VerSetConditionMask(cond, win::VER_SERVICEPACKMAJOR, win::VER_EQUAL);
  }
  if (productType >= 0) {
    want.wProductType = static_cast<win::BYTE>(productType);
    mask |= win::VER_PRODUCT_TYPE;
    cond = win::VerSetConditionMask(cond, win::VER_PRODUCT_TYPE, win::VER_EQUAL);
  }
  return win::Os().VerifyVersionInfoW(want, mask, cond) != 0;
}

bool Is64BitWindows() {
  win::BOOL wow = win::FALSE;
  return win::Os().IsWow64Process(&wow) && wow;
}

bool InstallerKoreanFlag() { return win::Os().GetUserDefaultUILanguage() == 1042; }

BuildModeSplit SplitBuildMode(std::u16string_view mode) {
  if (mode.find(u"-uninstall") != std::u16string_view::npos) return {InstallerFlow::Uninstall, {}};
  if (mode.empty()) return {InstallerFlow::Install, {}};
  if (mode.find(u"-hide") != std::u16string_view::npos) return {InstallerFlow::Install, u"false"};
  if (mode.find(u"-auto") != std::u16string_view::npos) return {InstallerFlow::Install, u"true-auto"};
  return {InstallerFlow::Install, {}};
}

int CountOwnInstances() {
  std::u16string path = win::Files().GetModuleFileNameW();
  auto slash = path.find_last_of(u"\\/");
  std::u16string name = slash == std::u16string::npos ? path : path.substr(slash + 1);
  std::vector<win::PROCESSENTRY32W> entries;
  if (!win::Processes().SnapshotProcesses(win::TH32CS_SNAPALL, &entries)) return 0;
  int count = 0;
  for (size_t i = 1; i < entries.size(); ++i) {
    if (entries[i].szExeFile == name) ++count;
  }
  return count;
}

bool WindowsVersionAccepted() {
  if (!WindowsVersionIs(5)) return true;
  if (WindowsVersionIs(5, 0)) return false;
  if (WindowsVersionIs(5, 1)) return WindowsVersionIs(5, 1, 3);
  if (WindowsVersionIs(5, 2)) {
    if (WindowsVersionIs(5, 2, 3)) return true;
    return !WindowsVersionIs(5, 2, -1, win::VER_NT_WORKSTATION);
  }
  return true;
}

InstallerMessage PreparationMessage(int r, bool korean) {
  if (r == 119) return {InstallerText(306, korean), kUninstallCaption, win::MB_OK};
  if (r == 3004) return {InstallerText(301, korean), InstallerText(321, korean), win::MB_ICONERROR};
  return {win::Fmt(InstallerText(303, korean), r), InstallerText(322, korean), win::MB_ICONERROR};
}

InstallerMessage SettingsMessage(int code, bool korean) {
  return {win::Fmt(InstallerText(305, korean), code), InstallerText(323, korean), win::MB_ICONWARNING};
}

std::u16string InstallerOutcomeText(InstallerOutcome outcome, bool korean) {
  switch (outcome) {
    case InstallerOutcome::NotDeleted:
      return korean ? u"VH-KSM 에이전트를 삭제하지 못했습니다.(%d)" : u"VH-KSM Agent could not be deleted.(%d)";
    case InstallerOutcome::NotInstalled:
      return korean ? u"VH-KSM 에이전트를 설치하지 못했습니다.(%d)" : u"VH-KSM Agent could not be installed.(%d)";
    case InstallerOutcome::Cancelled:
      return korean ? u"설치가 취소되었습니다." : u"Installation was cancelled.";
  }
  return {};
}

}  // namespace qz
