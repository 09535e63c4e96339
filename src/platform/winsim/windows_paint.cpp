// Painting: invalidating windows, painting them at once (UpdateWindow, RedrawWindow), and the DC a
// WM_PAINT handler draws with (BeginPaint, EndPaint).
#include <algorithm>

#include "platform/winsim/windows_service.h"

namespace winsim {

using namespace win;

BOOL WinsimWindows::InvalidateRect(HWND window, const RECT* rect, BOOL erase) {
  std::lock_guard lock(core_->mu);
  if (!window) {
    for (auto& [k, w] : windows_) {
      if (!w->parent) InvalidateLocked(w.get(), erase != FALSE, false);
    }
    return TRUE;
  }
  Wnd* w = FindLocked(window);
  if (!w) return FALSE;
  InvalidateLocked(w, erase != FALSE, false);
  return TRUE;
}

BOOL WinsimWindows::RedrawWindow(HWND window, const RECT* rect, HRGN region, UINT flags) {
  {
    std::lock_guard lock(core_->mu);
    Wnd* w = FindLocked(window);
    if (!w) return FALSE;
    if (flags & RDW_INVALIDATE) InvalidateLocked(w, (flags & RDW_ERASE) != 0, (flags & RDW_ALLCHILDREN) != 0);
  }
  if (flags & RDW_UPDATENOW) UpdateTree(window, (flags & RDW_ALLCHILDREN) != 0);
  return TRUE;
}

BOOL WinsimWindows::UpdateWindow(HWND window) {
  if (!IsOurs(window)) return FALSE;
  UpdateTree(window, false);
  return TRUE;
}

HDC WinsimWindows::BeginPaint(HWND window, PAINTSTRUCT* paint) {
  if (!paint) return nullptr;
  bool erase = false;
  {
    std::lock_guard lock(core_->mu);
    Wnd* w = FindLocked(window);
    if (!w) return nullptr;
    erase = w->erase;
    w->invalid = w->erase = false;
    core_->progress.notify_all();  // a picture may be waiting for this paint
  }
  HDC dc = GetDC(window);
  if (!dc) return nullptr;
  *paint = PAINTSTRUCT{};
  paint->hdc = dc;
  GetClientRect(window, &paint->rcPaint);
  paint->fErase = erase && !CallProc(window, WM_ERASEBKGND, reinterpret_cast<WPARAM>(dc), 0) ? TRUE : FALSE;
  return dc;
}

BOOL WinsimWindows::EndPaint(HWND window, const PAINTSTRUCT* paint) {
  if (!paint) return FALSE;
  ReleaseDC(window, paint->hdc);
  return TRUE;
}

void WinsimWindows::InvalidateLocked(Wnd* w, bool erase, bool children) {
  w->invalid = true;
  w->erase = w->erase || erase;
  if (w->queue) w->queue->cv.notify_all();
  if (!children) return;
  for (HWND c : w->children) {
    if (Wnd* cw = FindLocked(c)) InvalidateLocked(cw, erase, true);
  }
}

bool WinsimWindows::PaintPendingLocked(HWND top) {
  std::vector<HWND> tree;
  CollectTreeLocked(top, &tree);
  for (HWND h : tree) {
    Wnd* w = FindLocked(h);
    if (w && w->invalid && w->queue->alive && VisibleLocked(w)) return true;
  }
  return false;
}

void WinsimWindows::UpdateTree(HWND window, bool children) {
  std::vector<HWND> todo;
  {
    std::lock_guard lock(core_->mu);
    if (children) {
      CollectTreeLocked(window, &todo);
    } else {
      todo.push_back(window);
    }
    std::erase_if(todo, [&](HWND h) {
      Wnd* w = FindLocked(h);
      return !w || !w->invalid || !VisibleLocked(w);
    });
  }
  for (HWND h : todo) SendMessageW(h, WM_PAINT, 0, 0);
}

}  // namespace winsim
