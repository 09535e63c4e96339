// FindFirstFileW and FindNextFileW on kernel32, filtered by the long name: Windows also matches a
// pattern against 8.3 short names, so "*.r33" would find "X.r331" through its short name X~1.R33.
#include <mutex>
#include <set>

#include "platform/text.h"
#include "platform/win32/files_internal.h"

namespace win32 {

namespace {

struct FindState {
  HANDLE api = INVALID_HANDLE_VALUE;
  std::u16string pattern;  // the last component
};

// Live find handles, so that a stale or foreign one fails as the API's would.
std::mutex gFindsMutex;
std::set<FindState*> gFinds;

FindState* Lookup(win::HANDLE h) {
  std::lock_guard lock(gFindsMutex);
  auto* s = static_cast<FindState*>(h);
  return gFinds.count(s) ? s : nullptr;
}

std::u16string LastComponent(std::u16string_view pattern) {
  size_t at = pattern.find_last_of(u"\\/");
  if (at != std::u16string_view::npos) return std::u16string(pattern.substr(at + 1));
  if (pattern.size() >= 2 && pattern[1] == u':') return std::u16string(pattern.substr(2));
  return std::u16string(pattern);
}

// An entry is kept when its long name matches; one without a short name matched by its long
// name (under the API's own wildcard rules) and is kept as well.
bool Wanted(const std::u16string& pattern, const WIN32_FIND_DATAW& d) {
  return d.cAlternateFileName[0] == 0 || win::WildcardMatch(pattern, U(d.cFileName));
}

void Convert(const WIN32_FIND_DATAW& from, win::WIN32_FIND_DATAW* to) {
  if (!to) return;
  to->dwFileAttributes = from.dwFileAttributes;
  to->ftLastWriteTime = Ticks(from.ftLastWriteTime);
  to->nFileSizeHigh = from.nFileSizeHigh;
  to->nFileSizeLow = from.nFileSizeLow;
  to->cFileName = U(from.cFileName);
}

// The next wanted entry after the API's current one; false with the API's error when none.
bool Advance(FindState& s, WIN32_FIND_DATAW* d) {
  for (;;) {
    if (!::FindNextFileW(s.api, d)) return false;
    if (Wanted(s.pattern, *d)) return true;
  }
}

}  // namespace

win::HANDLE Win32Files::FindFirstFileW(std::u16string_view pattern, win::WIN32_FIND_DATAW* data) {
  WIN32_FIND_DATAW d{};
  HANDLE api = ::FindFirstFileW(W(Z(pattern)), &d);
  if (api == INVALID_HANDLE_VALUE) {
    KeepLastError();
    return INVALID_HANDLE_VALUE;
  }
  auto* s = new FindState{api, LastComponent(pattern)};
  if (!Wanted(s->pattern, d) && !Advance(*s, &d)) {
    // Only short names matched: to the caller nothing did.
    ::FindClose(api);
    delete s;
    ::SetLastError(ERROR_FILE_NOT_FOUND);
    KeepLastError();
    return INVALID_HANDLE_VALUE;
  }
  Convert(d, data);
  {
    std::lock_guard lock(gFindsMutex);
    gFinds.insert(s);
  }
  ::SetLastError(NO_ERROR);
  KeepLastError();
  return s;
}

win::BOOL Win32Files::FindNextFileW(win::HANDLE find, win::WIN32_FIND_DATAW* data) {
  FindState* s = Lookup(find);
  if (!s) {
    ::SetLastError(ERROR_INVALID_HANDLE);
    KeepLastError();
    return FALSE;
  }
  WIN32_FIND_DATAW d{};
  const bool ok = Advance(*s, &d);
  if (ok) Convert(d, data);
  KeepLastError();
  return ok ? TRUE : FALSE;
}

win::BOOL Win32Files::FindClose(win::HANDLE find) {
  FindState* s = nullptr;
  {
    std::lock_guard lock(gFindsMutex);
    auto* p = static_cast<FindState*>(find);
    if (gFinds.erase(p)) s = p;
  }
  if (!s) {
    ::SetLastError(ERROR_INVALID_HANDLE);
    KeepLastError();
    return FALSE;
  }
  const BOOL ok = ::FindClose(s->api);
  delete s;
  KeepLastError();
  return ok;
}

}  // namespace win32
