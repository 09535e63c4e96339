// Windows, dialogs, messages and GDI drawing: the small USER32/GDI32 surface the installer window
// uses. Names, signatures and numeric values follow Win32, so a Win32 backend maps each call to the
// real one. Calls go to the current platform's IWindows through the free functions below.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/desktop.h"
#include "platform/process.h"
#include "platform/types.h"

#ifndef CALLBACK
#define CALLBACK
#endif

namespace win {

using INT = int;
using INT_PTR = intptr_t;
using UINT_PTR = uintptr_t;
using LONG_PTR = intptr_t;
using ULONG_PTR = uintptr_t;
using SIZE_T = size_t;
using COLORREF = DWORD;
using ATOM = WORD;

using HGDIOBJ = void*;
using HGLOBAL = void*;
using HDC = struct HDC__*;
using HBITMAP = struct HBITMAP__*;
using HFONT = struct HFONT__*;
using HBRUSH = struct HBRUSH__*;
using HICON = struct HICON__*;
using HRGN = struct HRGN__*;
using HMENU = struct HMENU__*;

using WNDPROC = LRESULT(CALLBACK*)(HWND, UINT, WPARAM, LPARAM);
using DLGPROC = INT_PTR(CALLBACK*)(HWND, UINT, WPARAM, LPARAM);

struct POINT {
  LONG x = 0;
  LONG y = 0;
};

struct RECT {
  LONG left = 0;
  LONG top = 0;
  LONG right = 0;
  LONG bottom = 0;
};

struct MSG {
  HWND hwnd = nullptr;
  UINT message = 0;
  WPARAM wParam = 0;
  LPARAM lParam = 0;
  DWORD time = 0;
  POINT pt;
};

struct PAINTSTRUCT {
  HDC hdc = nullptr;
  BOOL fErase = FALSE;
  RECT rcPaint;
  BOOL fRestore = FALSE;
  BOOL fIncUpdate = FALSE;
  BYTE rgbReserved[32] = {};
};

struct BITMAP {
  LONG bmType = 0;
  LONG bmWidth = 0;
  LONG bmHeight = 0;
  LONG bmWidthBytes = 0;
  WORD bmPlanes = 0;
  WORD bmBitsPixel = 0;
  void* bmBits = nullptr;
};

struct TRACKMOUSEEVENT {
  DWORD cbSize = sizeof(TRACKMOUSEEVENT);
  DWORD dwFlags = 0;
  HWND hwndTrack = nullptr;
  DWORD dwHoverTime = 0;
};

inline constexpr WORD LOWORD(uintptr_t v) { return static_cast<WORD>(v & 0xFFFF); }
inline constexpr WORD HIWORD(uintptr_t v) { return static_cast<WORD>((v >> 16) & 0xFFFF); }
inline constexpr WPARAM MAKEWPARAM(WORD low, WORD high) {
  return static_cast<WPARAM>(static_cast<DWORD>(low) | (static_cast<DWORD>(high) << 16));
}
inline constexpr LPARAM MAKELPARAM(WORD low, WORD high) {
  return static_cast<LPARAM>(static_cast<DWORD>(low) | (static_cast<DWORD>(high) << 16));
}
// Client coordinates of mouse messages, signed as GET_X_LPARAM/GET_Y_LPARAM give them.
inline constexpr int GET_X_LPARAM(LPARAM lp) { return static_cast<int16_t>(LOWORD(static_cast<uintptr_t>(lp))); }
inline constexpr int GET_Y_LPARAM(LPARAM lp) { return static_cast<int16_t>(HIWORD(static_cast<uintptr_t>(lp))); }
inline constexpr COLORREF RGB(BYTE r, BYTE g, BYTE b) {
  return static_cast<COLORREF>(r) | (static_cast<COLORREF>(g) << 8) | (static_cast<COLORREF>(b) << 16);
}
inline constexpr BYTE GetRValue(COLORREF c) { return static_cast<BYTE>(c & 0xFF); }
inline constexpr BYTE GetGValue(COLORREF c) { return static_cast<BYTE>((c >> 8) & 0xFF); }
inline constexpr BYTE GetBValue(COLORREF c) { return static_cast<BYTE>((c >> 16) & 0xFF); }

// Messages.
constexpr UINT WM_NULL = 0x0000;
constexpr UINT WM_CREATE = 0x0001;
constexpr UINT WM_DESTROY = 0x0002;
constexpr UINT WM_MOVE = 0x0003;
constexpr UINT WM_SIZE = 0x0005;
constexpr UINT WM_SETFOCUS = 0x0007;
constexpr UINT WM_KILLFOCUS = 0x0008;
constexpr UINT WM_SETTEXT = 0x000C;
constexpr UINT WM_GETTEXT = 0x000D;
constexpr UINT WM_GETTEXTLENGTH = 0x000E;
constexpr UINT WM_PAINT = 0x000F;
// WM_CLOSE (0x0010) is in desktop.h.
constexpr UINT WM_QUIT = 0x0012;
constexpr UINT WM_ERASEBKGND = 0x0014;
constexpr UINT WM_SHOWWINDOW = 0x0018;
constexpr UINT WM_MOUSEACTIVATE = 0x0021;
constexpr UINT WM_SETFONT = 0x0030;
constexpr UINT WM_GETFONT = 0x0031;
constexpr UINT WM_WINDOWPOSCHANGED = 0x0047;
constexpr UINT WM_SETICON = 0x0080;
constexpr UINT WM_NCDESTROY = 0x0082;
constexpr UINT WM_NCLBUTTONDOWN = 0x00A1;
constexpr UINT WM_KEYDOWN = 0x0100;
constexpr UINT WM_KEYUP = 0x0101;
constexpr UINT WM_CHAR = 0x0102;
constexpr UINT WM_SYSKEYDOWN = 0x0104;
constexpr UINT WM_SYSKEYUP = 0x0105;
constexpr UINT WM_SYSCHAR = 0x0106;
constexpr UINT WM_INITDIALOG = 0x0110;
constexpr UINT WM_COMMAND = 0x0111;
constexpr UINT WM_SYSCOMMAND = 0x0112;
constexpr UINT WM_TIMER = 0x0113;
constexpr UINT WM_CTLCOLORBTN = 0x0135;
constexpr UINT WM_CTLCOLORDLG = 0x0136;
constexpr UINT WM_CTLCOLORSTATIC = 0x0138;
constexpr UINT WM_MOUSEMOVE = 0x0200;
constexpr UINT WM_LBUTTONDOWN = 0x0201;
constexpr UINT WM_LBUTTONUP = 0x0202;
constexpr UINT WM_MOUSEHOVER = 0x02A1;
constexpr UINT WM_MOUSELEAVE = 0x02A3;
constexpr UINT WM_USER = 0x0400;
constexpr UINT WM_APP = 0x8000;

constexpr UINT BM_GETIMAGE = 0x00F6;
constexpr UINT BM_SETIMAGE = 0x00F7;
constexpr UINT STM_SETIMAGE = 0x0172;
constexpr UINT STM_GETIMAGE = 0x0173;
constexpr UINT IMAGE_BITMAP = 0;
constexpr UINT IMAGE_ICON = 1;
constexpr WORD BN_CLICKED = 0;

constexpr UINT ICON_SMALL = 0;
constexpr UINT ICON_BIG = 1;

constexpr UINT SC_CLOSE = 0xF060;
constexpr int HTCAPTION = 2;
constexpr int MA_ACTIVATE = 1;

constexpr UINT VK_RETURN = 0x0D;
constexpr UINT VK_ESCAPE = 0x1B;
constexpr UINT VK_F4 = 0x73;
// In the high word of a key message's lParam (bit 29 of lParam): the Alt key was down.
constexpr UINT KF_ALTDOWN = 0x2000;

// Window styles.
constexpr DWORD WS_OVERLAPPED = 0x00000000;
constexpr DWORD WS_POPUP = 0x80000000u;
constexpr DWORD WS_CHILD = 0x40000000;
constexpr DWORD WS_VISIBLE = 0x10000000;
constexpr DWORD WS_DISABLED = 0x08000000;
constexpr DWORD WS_CAPTION = 0x00C00000;
constexpr DWORD WS_BORDER = 0x00800000;
constexpr DWORD WS_SYSMENU = 0x00080000;
constexpr DWORD WS_TABSTOP = 0x00010000;
constexpr DWORD WS_EX_TOPMOST = 0x00000008;
constexpr DWORD DS_SETFONT = 0x40;
constexpr DWORD DS_MODALFRAME = 0x80;
constexpr DWORD DS_FIXEDSYS = 0x0008;
constexpr DWORD DS_CENTER = 0x0800;
constexpr DWORD BS_PUSHBUTTON = 0x0;
constexpr DWORD BS_DEFPUSHBUTTON = 0x1;
constexpr DWORD BS_BITMAP = 0x80;
constexpr DWORD SS_LEFT = 0x0;
constexpr DWORD SS_CENTER = 0x1;
constexpr DWORD SS_RIGHT = 0x2;
constexpr DWORD SS_BITMAP = 0x0E;
constexpr DWORD SS_TYPEMASK = 0x1F;
constexpr DWORD SS_NOTIFY = 0x100;
constexpr DWORD SS_REALSIZECONTROL = 0x40;
constexpr DWORD SS_ENDELLIPSIS = 0x4000;

// ShowWindow (SW_HIDE, SW_SHOWNORMAL, SW_SHOW are in process.h).
constexpr int SW_SHOWNA = 8;

// SetWindowPos.
inline const HWND HWND_TOP = nullptr;
inline const HWND HWND_TOPMOST = reinterpret_cast<HWND>(static_cast<intptr_t>(-1));
constexpr UINT SWP_NOSIZE = 0x0001;
constexpr UINT SWP_NOMOVE = 0x0002;
constexpr UINT SWP_NOZORDER = 0x0004;
constexpr UINT SWP_NOREDRAW = 0x0008;
constexpr UINT SWP_NOACTIVATE = 0x0010;
constexpr UINT SWP_SHOWWINDOW = 0x0040;
constexpr UINT SWP_HIDEWINDOW = 0x0080;

// RedrawWindow.
constexpr UINT RDW_INVALIDATE = 0x0001;
constexpr UINT RDW_ERASE = 0x0004;
constexpr UINT RDW_ALLCHILDREN = 0x0080;
constexpr UINT RDW_UPDATENOW = 0x0100;
constexpr UINT RDW_ERASENOW = 0x0200;

// Get/SetWindowLongPtrW.
constexpr int GWLP_WNDPROC = -4;
constexpr int GWLP_HINSTANCE = -6;
constexpr int GWLP_ID = -12;
constexpr int GWL_STYLE = -16;
constexpr int GWL_EXSTYLE = -20;
constexpr int GWLP_USERDATA = -21;
constexpr int GWL_USERDATA = GWLP_USERDATA;
constexpr int DWLP_MSGRESULT = 0;
constexpr int DWLP_DLGPROC = static_cast<int>(sizeof(LRESULT));
constexpr int DWLP_USER = DWLP_DLGPROC + static_cast<int>(sizeof(DLGPROC));

// TrackMouseEvent.
constexpr DWORD TME_HOVER = 0x00000001;
constexpr DWORD TME_LEAVE = 0x00000002;
constexpr DWORD TME_CANCEL = 0x80000000u;
constexpr DWORD HOVER_DEFAULT = 0xFFFFFFFFu;

// GetSystemMetrics.
constexpr int SM_CXSCREEN = 0;
constexpr int SM_CYSCREEN = 1;

// PeekMessageW.
constexpr UINT PM_NOREMOVE = 0x0000;
constexpr UINT PM_REMOVE = 0x0001;

// GDI.
constexpr DWORD SRCCOPY = 0x00CC0020;
constexpr int TRANSPARENT = 1;
constexpr int OPAQUE = 2;
constexpr int WHITE_BRUSH = 0;
constexpr int NULL_BRUSH = 5;
constexpr int HOLLOW_BRUSH = NULL_BRUSH;
constexpr int DEFAULT_GUI_FONT = 17;
constexpr int OBJ_BITMAP = 7;
constexpr int FW_NORMAL = 400;
constexpr int FW_SEMIBOLD = 600;
constexpr int FW_BOLD = 700;
constexpr DWORD DEFAULT_CHARSET = 1;
constexpr DWORD HANGUL_CHARSET = 129;
constexpr DWORD VARIABLE_PITCH = 2;
constexpr DWORD FF_ROMAN = 0x10;
constexpr COLORREF CLR_INVALID = 0xFFFFFFFFu;

// LoadImageW (type IMAGE_ICON).
constexpr UINT LR_DEFAULTCOLOR = 0x0000;
constexpr UINT LR_DEFAULTSIZE = 0x0040;
constexpr UINT LR_SHARED = 0x8000;

// Memory.
constexpr UINT GMEM_FIXED = 0x0000;
constexpr UINT GMEM_MOVEABLE = 0x0002;
constexpr UINT GMEM_ZEROINIT = 0x0040;
constexpr UINT GHND = GMEM_MOVEABLE | GMEM_ZEROINIT;

constexpr int STREAM_SEEK_SET = 0;
constexpr int STREAM_SEEK_CUR = 1;
constexpr int STREAM_SEEK_END = 2;

// A minimal COM stream: what GDI+ reads images from.
class IStream {
 public:
  virtual ULONG AddRef() = 0;
  virtual ULONG Release() = 0;
  virtual HRESULT Read(void* buffer, ULONG size, ULONG* read) = 0;
  virtual HRESULT Write(const void* buffer, ULONG size, ULONG* written) = 0;
  virtual HRESULT Seek(LONGLONG move, DWORD origin, ULONGLONG* newPosition) = 0;

 protected:
  virtual ~IStream() = default;
};

// Memory blocks and streams over them (kernel32/ole32; the same on every backend).
HGLOBAL GlobalAlloc(UINT flags, SIZE_T bytes);
void* GlobalLock(HGLOBAL mem);
BOOL GlobalUnlock(HGLOBAL mem);
// nullptr on success, the block itself on failure, as on Windows.
HGLOBAL GlobalFree(HGLOBAL mem);
SIZE_T GlobalSize(HGLOBAL mem);
// The stream owns a reference to the block; deleteOnRelease frees it with the stream's last Release.
HRESULT CreateStreamOnHGlobal(HGLOBAL mem, BOOL deleteOnRelease, IStream** stream);

namespace Gdiplus {
class GpImage;
}

// The window manager and GDI of one process.
class IWindows {
 public:
  virtual ~IWindows() = default;

  // Windows and dialogs.
  virtual HWND CreateDialogParamW(HINSTANCE instance, int templateId, HWND parent, DLGPROC proc, LPARAM param) = 0;
  virtual HWND GetDlgItem(HWND dialog, int id) = 0;
  virtual int GetDlgCtrlID(HWND window) = 0;
  virtual HWND GetParent(HWND window) = 0;
  virtual BOOL ShowWindow(HWND window, int cmd) = 0;
  virtual BOOL IsWindowVisible(HWND window) = 0;
  virtual BOOL IsWindow(HWND window) = 0;
  virtual BOOL SetWindowPos(HWND window, HWND insertAfter, int x, int y, int cx, int cy, UINT flags) = 0;
  virtual BOOL MoveWindow(HWND window, int x, int y, int width, int height, BOOL repaint) = 0;
  virtual BOOL GetWindowRect(HWND window, RECT* rect) = 0;
  virtual BOOL GetClientRect(HWND window, RECT* rect) = 0;
  // Points from one window's client coordinates to another's; nullptr is the screen.
  virtual int MapWindowPoints(HWND from, HWND to, POINT* points, UINT count) = 0;
  virtual BOOL SetWindowTextW(HWND window, std::u16string_view text) = 0;
  virtual std::u16string GetWindowTextW(HWND window) = 0;
  virtual LRESULT SendMessageW(HWND window, UINT msg, WPARAM wParam, LPARAM lParam) = 0;
  virtual BOOL PostMessageW(HWND window, UINT msg, WPARAM wParam, LPARAM lParam) = 0;
  virtual LONG_PTR SetWindowLongPtrW(HWND window, int index, LONG_PTR value) = 0;
  virtual LONG_PTR GetWindowLongPtrW(HWND window, int index) = 0;
  virtual LRESULT CallWindowProcW(WNDPROC proc, HWND window, UINT msg, WPARAM wParam, LPARAM lParam) = 0;
  virtual LRESULT DefWindowProcW(HWND window, UINT msg, WPARAM wParam, LPARAM lParam) = 0;
  virtual BOOL InvalidateRect(HWND window, const RECT* rect, BOOL erase) = 0;
  virtual BOOL RedrawWindow(HWND window, const RECT* rect, HRGN region, UINT flags) = 0;
  virtual BOOL UpdateWindow(HWND window) = 0;
  virtual BOOL DestroyWindow(HWND window) = 0;
  virtual void PostQuitMessage(int exitCode) = 0;
  // 1 for a message, 0 for WM_QUIT, -1 on error.
  virtual BOOL GetMessageW(MSG* msg, HWND window, UINT filterMin, UINT filterMax) = 0;
  virtual BOOL PeekMessageW(MSG* msg, HWND window, UINT filterMin, UINT filterMax, UINT removeFlags) = 0;
  virtual BOOL IsDialogMessageW(HWND dialog, MSG* msg) = 0;
  virtual BOOL TranslateMessage(const MSG* msg) = 0;
  virtual LRESULT DispatchMessageW(const MSG* msg) = 0;
  virtual BOOL TrackMouseEvent(TRACKMOUSEEVENT* track) = 0;
  virtual HWND GetDesktopWindow() = 0;
  virtual int GetSystemMetrics(int index) = 0;
  virtual HWND SetFocus(HWND window) = 0;
  virtual HWND GetFocus() = 0;

  // GDI.
  virtual HBITMAP LoadBitmapW(HINSTANCE instance, int id) = 0;
  virtual HICON LoadIconW(HINSTANCE instance, int id) = 0;
  virtual HANDLE LoadImageW(HINSTANCE instance, int id, UINT type, int cx, int cy, UINT flags) = 0;
  virtual BOOL DestroyIcon(HICON icon) = 0;
  virtual int GetObjectW(HGDIOBJ object, int size, void* out) = 0;
  virtual BOOL DeleteObject(HGDIOBJ object) = 0;
  virtual HGDIOBJ GetStockObject(int index) = 0;
  virtual HDC BeginPaint(HWND window, PAINTSTRUCT* paint) = 0;
  virtual BOOL EndPaint(HWND window, const PAINTSTRUCT* paint) = 0;
  virtual HDC GetDC(HWND window) = 0;
  virtual int ReleaseDC(HWND window, HDC dc) = 0;
  virtual HDC CreateCompatibleDC(HDC dc) = 0;
  virtual BOOL DeleteDC(HDC dc) = 0;
  virtual HGDIOBJ SelectObject(HDC dc, HGDIOBJ object) = 0;
  virtual BOOL BitBlt(HDC dest, int x, int y, int cx, int cy, HDC src, int x1, int y1, DWORD rop) = 0;
  virtual HFONT CreateFontW(int height, int width, int escapement, int orientation, int weight, DWORD italic,
                            DWORD underline, DWORD strikeOut, DWORD charSet, DWORD outPrecision,
                            DWORD clipPrecision, DWORD quality, DWORD pitchAndFamily, const char16_t* face) = 0;
  virtual COLORREF SetTextColor(HDC dc, COLORREF color) = 0;
  virtual int SetBkMode(HDC dc, int mode) = 0;

  // GDI+ (the flat API the classes of platform/gdiplus.h sit on). Status values as GDI+'s.
  virtual int GdiplusStartup(ULONG_PTR* token) = 0;
  virtual void GdiplusShutdown(ULONG_PTR token) = 0;
  virtual int GdipLoadImageFromStream(IStream* stream, Gdiplus::GpImage** image) = 0;
  virtual int GdipDrawImageRect(HDC dc, Gdiplus::GpImage* image, int x, int y, int width, int height) = 0;
};

// The current platform's window manager (Platform::Windows()); the calls below forward to it.
IWindows& Windows();

inline HWND CreateDialogParamW(HINSTANCE instance, int templateId, HWND parent, DLGPROC proc, LPARAM param) {
  return Windows().CreateDialogParamW(instance, templateId, parent, proc, param);
}
inline HWND GetDlgItem(HWND dialog, int id) { return Windows().GetDlgItem(dialog, id); }
inline int GetDlgCtrlID(HWND window) { return Windows().GetDlgCtrlID(window); }
inline HWND GetParent(HWND window) { return Windows().GetParent(window); }
inline BOOL ShowWindow(HWND window, int cmd) { return Windows().ShowWindow(window, cmd); }
inline BOOL IsWindowVisible(HWND window) { return Windows().IsWindowVisible(window); }
inline BOOL IsWindow(HWND window) { return Windows().IsWindow(window); }
inline BOOL SetWindowPos(HWND window, HWND insertAfter, int x, int y, int cx, int cy, UINT flags) {
  return Windows().SetWindowPos(window, insertAfter, x, y, cx, cy, flags);
}
inline BOOL MoveWindow(HWND window, int x, int y, int width, int height, BOOL repaint) {
  return Windows().MoveWindow(window, x, y, width, height, repaint);
}
inline BOOL GetWindowRect(HWND window, RECT* rect) { return Windows().GetWindowRect(window, rect); }
inline BOOL GetClientRect(HWND window, RECT* rect) { return Windows().GetClientRect(window, rect); }
inline int MapWindowPoints(HWND from, HWND to, POINT* points, UINT count) {
  return Windows().MapWindowPoints(from, to, points, count);
}
inline BOOL ScreenToClient(HWND window, POINT* point) {
  return window && Windows().IsWindow(window) ? (Windows().MapWindowPoints(nullptr, window, point, 1), TRUE) : FALSE;
}
inline BOOL ClientToScreen(HWND window, POINT* point) {
  return window && Windows().IsWindow(window) ? (Windows().MapWindowPoints(window, nullptr, point, 1), TRUE) : FALSE;
}
inline BOOL SetWindowTextW(HWND window, std::u16string_view text) { return Windows().SetWindowTextW(window, text); }
inline BOOL SetWindowTextW(HWND window, const char16_t* text) {
  return Windows().SetWindowTextW(window, text ? std::u16string_view(text) : std::u16string_view());
}
inline std::u16string GetWindowTextW(HWND window) { return Windows().GetWindowTextW(window); }
// The buffer form: at most maxCount - 1 characters and a terminator; the count copied.
inline int GetWindowTextW(HWND window, char16_t* buffer, int maxCount) {
  if (!buffer || maxCount <= 0) return 0;
  std::u16string text = Windows().GetWindowTextW(window);
  size_t n = text.size() < static_cast<size_t>(maxCount - 1) ? text.size() : static_cast<size_t>(maxCount - 1);
  text.copy(buffer, n);
  buffer[n] = u'\0';
  return static_cast<int>(n);
}
inline int GetWindowTextLengthW(HWND window) { return static_cast<int>(Windows().GetWindowTextW(window).size()); }
inline LRESULT SendMessageW(HWND window, UINT msg, WPARAM wParam, LPARAM lParam) {
  return Windows().SendMessageW(window, msg, wParam, lParam);
}
inline BOOL PostMessageW(HWND window, UINT msg, WPARAM wParam, LPARAM lParam) {
  return Windows().PostMessageW(window, msg, wParam, lParam);
}
inline LONG_PTR SetWindowLongPtrW(HWND window, int index, LONG_PTR value) {
  return Windows().SetWindowLongPtrW(window, index, value);
}
inline LONG_PTR GetWindowLongPtrW(HWND window, int index) { return Windows().GetWindowLongPtrW(window, index); }
inline LRESULT CallWindowProcW(WNDPROC proc, HWND window, UINT msg, WPARAM wParam, LPARAM lParam) {
  return Windows().CallWindowProcW(proc, window, msg, wParam, lParam);
}
inline LRESULT DefWindowProcW(HWND window, UINT msg, WPARAM wParam, LPARAM lParam) {
  return Windows().DefWindowProcW(window, msg, wParam, lParam);
}
inline BOOL InvalidateRect(HWND window, const RECT* rect, BOOL erase) {
  return Windows().InvalidateRect(window, rect, erase);
}
inline BOOL RedrawWindow(HWND window, const RECT* rect, HRGN region, UINT flags) {
  return Windows().RedrawWindow(window, rect, region, flags);
}
inline BOOL UpdateWindow(HWND window) { return Windows().UpdateWindow(window); }
inline BOOL DestroyWindow(HWND window) { return Windows().DestroyWindow(window); }
inline void PostQuitMessage(int exitCode) { Windows().PostQuitMessage(exitCode); }
inline BOOL GetMessageW(MSG* msg, HWND window, UINT filterMin, UINT filterMax) {
  return Windows().GetMessageW(msg, window, filterMin, filterMax);
}
inline BOOL PeekMessageW(MSG* msg, HWND window, UINT filterMin, UINT filterMax, UINT removeFlags) {
  return Windows().PeekMessageW(msg, window, filterMin, filterMax, removeFlags);
}
inline BOOL IsDialogMessageW(HWND dialog, MSG* msg) { return Windows().IsDialogMessageW(dialog, msg); }
inline BOOL TranslateMessage(const MSG* msg) { return Windows().TranslateMessage(msg); }
inline LRESULT DispatchMessageW(const MSG* msg) { return Windows().DispatchMessageW(msg); }
inline BOOL TrackMouseEvent(TRACKMOUSEEVENT* track) { return Windows().TrackMouseEvent(track); }
inline HWND GetDesktopWindow() { return Windows().GetDesktopWindow(); }
inline int GetSystemMetrics(int index) { return Windows().GetSystemMetrics(index); }
inline HWND SetFocus(HWND window) { return Windows().SetFocus(window); }
inline HWND GetFocus() { return Windows().GetFocus(); }

inline HBITMAP LoadBitmapW(HINSTANCE instance, int id) { return Windows().LoadBitmapW(instance, id); }
inline HICON LoadIconW(HINSTANCE instance, int id) { return Windows().LoadIconW(instance, id); }
inline HANDLE LoadImageW(HINSTANCE instance, int id, UINT type, int cx, int cy, UINT flags) {
  return Windows().LoadImageW(instance, id, type, cx, cy, flags);
}
inline BOOL DestroyIcon(HICON icon) { return Windows().DestroyIcon(icon); }
inline int GetObjectW(HGDIOBJ object, int size, void* out) { return Windows().GetObjectW(object, size, out); }
inline BOOL DeleteObject(HGDIOBJ object) { return Windows().DeleteObject(object); }
inline HGDIOBJ GetStockObject(int index) { return Windows().GetStockObject(index); }
inline HDC BeginPaint(HWND window, PAINTSTRUCT* paint) { return Windows().BeginPaint(window, paint); }
inline BOOL EndPaint(HWND window, const PAINTSTRUCT* paint) { return Windows().EndPaint(window, paint); }
inline HDC GetDC(HWND window) { return Windows().GetDC(window); }
inline int ReleaseDC(HWND window, HDC dc) { return Windows().ReleaseDC(window, dc); }
inline HDC CreateCompatibleDC(HDC dc) { return Windows().CreateCompatibleDC(dc); }
inline BOOL DeleteDC(HDC dc) { return Windows().DeleteDC(dc); }
inline HGDIOBJ SelectObject(HDC dc, HGDIOBJ object) { return Windows().SelectObject(dc, object); }
inline BOOL BitBlt(HDC dest, int x, int y, int cx, int cy, HDC src, int x1, int y1, DWORD rop) {
  return Windows().BitBlt(dest, x, y, cx, cy, src, x1, y1, rop);
}
inline HFONT CreateFontW(int height, int width, int escapement, int orientation, int weight, DWORD italic,
                         DWORD underline, DWORD strikeOut, DWORD charSet, DWORD outPrecision, DWORD clipPrecision,
                         DWORD quality, DWORD pitchAndFamily, const char16_t* face) {
  return Windows().CreateFontW(height, width, escapement, orientation, weight, italic, underline, strikeOut, charSet,
                               outPrecision, clipPrecision, quality, pitchAndFamily, face);
}
inline COLORREF SetTextColor(HDC dc, COLORREF color) { return Windows().SetTextColor(dc, color); }
inline int SetBkMode(HDC dc, int mode) { return Windows().SetBkMode(dc, mode); }

}  // namespace win
