// Window procedures: the default ones of windows and dialogs, and those of the dialog, button and
// static classes.
#include <algorithm>
#include <utility>

#include "platform/ui.h"
#include "platform/winsim/windows_service.h"

namespace winsim {

using namespace win;

LRESULT WinsimWindows::CallWindowProcW(WNDPROC proc, HWND window, UINT msg, WPARAM wParam, LPARAM lParam) {
  return proc ? proc(window, msg, wParam, lParam) : 0;
}

LRESULT WinsimWindows::DefWindowProcW(HWND window, UINT msg, WPARAM wParam, LPARAM lParam) {
  switch (msg) {
    case WM_SETTEXT: {
      std::lock_guard lock(core_->mu);
      Wnd* w = FindLocked(window);
      if (!w) return FALSE;
      w->text = lParam ? std::u16string(reinterpret_cast<const char16_t*>(lParam)) : std::u16string();
      InvalidateLocked(w, true, false);
      return TRUE;
    }
    case WM_GETTEXT: {
      std::lock_guard lock(core_->mu);
      Wnd* w = FindLocked(window);
      auto* buf = reinterpret_cast<char16_t*>(lParam);
      if (!w || !buf || wParam == 0) return 0;
      size_t n = std::min<size_t>(w->text.size(), wParam - 1);
      w->text.copy(buf, n);
      buf[n] = u'\0';
      return static_cast<LRESULT>(n);
    }
    case WM_GETTEXTLENGTH: {
      std::lock_guard lock(core_->mu);
      Wnd* w = FindLocked(window);
      return w ? static_cast<LRESULT>(w->text.size()) : 0;
    }
    case WM_SETFONT: {
      std::lock_guard lock(core_->mu);
      Wnd* w = FindLocked(window);
      if (!w) return 0;
      w->font = static_cast<uintptr_t>(wParam);
      if (LOWORD(static_cast<uintptr_t>(lParam))) InvalidateLocked(w, true, false);
      return 0;
    }
    case WM_GETFONT: {
      std::lock_guard lock(core_->mu);
      Wnd* w = FindLocked(window);
      return w ? static_cast<LRESULT>(w->font) : 0;
    }
    case WM_SETICON: {
      std::lock_guard lock(core_->mu);
      Wnd* w = FindLocked(window);
      if (!w) return 0;
      uintptr_t& slot = wParam == ICON_SMALL ? w->iconSmall : w->iconBig;
      return static_cast<LRESULT>(std::exchange(slot, static_cast<uintptr_t>(lParam)));
    }
    case WM_CLOSE:
      DestroyWindow(window);
      return 0;
    case WM_SYSKEYDOWN:
      if (wParam == VK_F4 && (static_cast<uintptr_t>(lParam) & (static_cast<uintptr_t>(KF_ALTDOWN) << 16))) {
        PostMessageW(RootOf(window), WM_SYSCOMMAND, SC_CLOSE, 0);
      }
      return 0;
    case WM_SYSCOMMAND:
      if ((wParam & 0xFFF0) == SC_CLOSE) SendMessageW(window, WM_CLOSE, 0, 0);
      return 0;
    case WM_PAINT: {
      PAINTSTRUCT ps;
      BeginPaint(window, &ps);
      EndPaint(window, &ps);
      return 0;
    }
    case WM_ERASEBKGND:
      return 0;
    case WM_MOUSEACTIVATE:
      return MA_ACTIVATE;
    case WM_CTLCOLORSTATIC:
    case WM_CTLCOLORBTN:
    case WM_CTLCOLORDLG:
      return DefaultControlColors(reinterpret_cast<HDC>(wParam));
    default:
      return 0;
  }
}

LRESULT WinsimWindows::DefDlgProc(HWND window, UINT msg, WPARAM wParam, LPARAM lParam) {
  switch (msg) {
    case WM_CLOSE:
      PostMessageW(window, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED),
                   reinterpret_cast<LPARAM>(GetDlgItem(window, IDCANCEL)));
      return 0;
    case WM_ERASEBKGND: {
      std::lock_guard lock(core_->mu);
      Wnd* w = FindLocked(window);
      if (w && w->surface) w->surface->FillRect(0, 0, w->surface->Width(), w->surface->Height(), kFaceColor);
      return 1;
    }
    default:
      return DefWindowProcW(window, msg, wParam, lParam);
  }
}

DLGPROC WinsimWindows::DlgProcOf(HWND window) {
  std::lock_guard lock(core_->mu);
  Wnd* w = FindLocked(window);
  return w ? w->dlgProc : nullptr;
}

LONG_PTR WinsimWindows::MsgResultOf(HWND window) {
  std::lock_guard lock(core_->mu);
  Wnd* w = FindLocked(window);
  return w ? w->msgResult : 0;
}

LRESULT WinsimWindows::ButtonProc(HWND window, UINT msg, WPARAM wParam, LPARAM lParam) {
  switch (msg) {
    case WM_LBUTTONDOWN: {
      std::lock_guard lock(core_->mu);
      if (Wnd* w = FindLocked(window)) w->pressed = true, InvalidateLocked(w, false, false);
      return 0;
    }
    case WM_LBUTTONUP: {
      HWND parent = nullptr;
      int id = 0;
      {
        std::lock_guard lock(core_->mu);
        Wnd* w = FindLocked(window);
        if (!w || !w->pressed) return 0;
        w->pressed = false;
        InvalidateLocked(w, false, false);
        const int b = BorderOf(*w);
        const int px = GET_X_LPARAM(lParam), py = GET_Y_LPARAM(lParam);
        if (px < 0 || py < 0 || px >= w->w - 2 * b || py >= w->h - 2 * b) return 0;  // released outside
        parent = w->parent;
        id = w->id;
      }
      if (parent) {
        SendMessageW(parent, WM_COMMAND, MAKEWPARAM(static_cast<WORD>(id), BN_CLICKED),
                     reinterpret_cast<LPARAM>(window));
      }
      return 0;
    }
    case BM_SETIMAGE: {
      if (wParam != IMAGE_BITMAP && wParam != IMAGE_ICON) return 0;
      std::lock_guard lock(core_->mu);
      Wnd* w = FindLocked(window);
      if (!w) return 0;
      InvalidateLocked(w, false, false);
      return static_cast<LRESULT>(std::exchange(w->image, static_cast<uintptr_t>(lParam)));
    }
    case BM_GETIMAGE: {
      std::lock_guard lock(core_->mu);
      Wnd* w = FindLocked(window);
      return w ? static_cast<LRESULT>(w->image) : 0;
    }
    default:
      return DefWindowProcW(window, msg, wParam, lParam);
  }
}

LRESULT WinsimWindows::StaticProc(HWND window, UINT msg, WPARAM wParam, LPARAM lParam) {
  switch (msg) {
    case STM_SETIMAGE: {
      if (wParam != IMAGE_BITMAP) return 0;
      std::lock_guard lock(core_->mu);
      Wnd* w = FindLocked(window);
      if (!w || !IsBitmapStatic(*w)) return 0;
      uintptr_t old = std::exchange(w->image, static_cast<uintptr_t>(lParam));
      // A bitmap static takes the size of its picture unless told to keep its own.
      auto it = objects_.find(w->image);
      if (!(w->style & SS_REALSIZECONTROL) && it != objects_.end() && it->second->kind == GdiObject::kBitmap) {
        const auto& px = static_cast<BitmapObject&>(*it->second).px;
        const int b = BorderOf(*w);
        w->w = px.width + 2 * b;
        w->h = px.height + 2 * b;
      }
      InvalidateLocked(w, true, false);
      return static_cast<LRESULT>(old);
    }
    case STM_GETIMAGE: {
      std::lock_guard lock(core_->mu);
      Wnd* w = FindLocked(window);
      return w ? static_cast<LRESULT>(w->image) : 0;
    }
    case WM_PAINT: {
      PAINTSTRUCT ps;
      HDC dc = BeginPaint(window, &ps);
      bool text = false;
      HWND parent = nullptr;
      {
        std::lock_guard lock(core_->mu);
        Wnd* w = FindLocked(window);
        text = w && !IsBitmapStatic(*w);
        parent = w ? w->parent : nullptr;
      }
      if (dc && text) {
        LRESULT brush = parent ? SendMessageW(parent, WM_CTLCOLORSTATIC, reinterpret_cast<WPARAM>(dc),
                                              reinterpret_cast<LPARAM>(window))
                               : DefaultControlColors(dc);
        std::lock_guard lock(core_->mu);
        Wnd* w = FindLocked(window);
        auto d = dcs_.find(Key(dc));
        if (w && d != dcs_.end()) {
          w->painted = true;
          w->textColor = d->second->textColor;
          w->bkMode = d->second->bkMode;
          w->bkColor = d->second->bkColor;
          w->brush = static_cast<uintptr_t>(brush);
        }
      }
      EndPaint(window, &ps);
      return 0;
    }
    default:
      return DefWindowProcW(window, msg, wParam, lParam);
  }
}

namespace {

WinsimWindows* Self() { return dynamic_cast<WinsimWindows*>(&win::Windows()); }

}  // namespace

LRESULT CALLBACK DialogClassProc(HWND h, UINT msg, WPARAM wParam, LPARAM lParam) {
  WinsimWindows* self = Self();
  if (!self) return 0;
  DLGPROC proc = self->DlgProcOf(h);
  INT_PTR r = proc ? proc(h, msg, wParam, lParam) : FALSE;
  switch (msg) {
    // These answer with the procedure's own return value.
    case WM_INITDIALOG:
      return r;
    case WM_CTLCOLORSTATIC:
    case WM_CTLCOLORBTN:
    case WM_CTLCOLORDLG:
      return r ? r : self->DefDlgProc(h, msg, wParam, lParam);
    default:
      return r ? self->MsgResultOf(h) : self->DefDlgProc(h, msg, wParam, lParam);
  }
}

LRESULT CALLBACK ButtonClassProc(HWND h, UINT msg, WPARAM wParam, LPARAM lParam) {
  WinsimWindows* self = Self();
  return self ? self->ButtonProc(h, msg, wParam, lParam) : 0;
}

LRESULT CALLBACK StaticClassProc(HWND h, UINT msg, WPARAM wParam, LPARAM lParam) {
  WinsimWindows* self = Self();
  return self ? self->StaticProc(h, msg, wParam, lParam) : 0;
}

LRESULT CALLBACK PlainClassProc(HWND h, UINT msg, WPARAM wParam, LPARAM lParam) {
  WinsimWindows* self = Self();
  return self ? self->DefWindowProcW(h, msg, wParam, lParam) : 0;
}

}  // namespace winsim
