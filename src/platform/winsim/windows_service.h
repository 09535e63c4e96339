// The window service of a simulated process, shared by the files that implement it: its GDI
// objects, its windows and per-thread message queues, and the service itself.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/text.h"
#include "platform/window.h"
#include "platform/winsim/machine.h"
#include "platform/winsim/raster.h"
#include "platform/winsim/windows_internal.h"

namespace winsim {

constexpr win::DWORD kErrorInvalidWindowHandle = 1400;
constexpr win::DWORD kErrorResourceNotFound = 1814;
constexpr uint32_t kFaceColor = 0xFFF0F0F0;  // COLOR_3DFACE
constexpr uint32_t kWhite = 0xFFFFFFFF;

// ---- GDI objects ----

struct GdiObject {
  enum Kind { kBitmap, kFont, kBrush, kIcon };
  explicit GdiObject(Kind k) : kind(k) {}
  virtual ~GdiObject() = default;
  Kind kind;
  bool stock = false;
};

struct BitmapObject : GdiObject {
  BitmapObject() : GdiObject(kBitmap) {}
  Pixels px;
  int resourceId = 0;
};

struct FontObject : GdiObject {
  FontObject() : GdiObject(kFont) {}
  FontDesc desc;
};

struct BrushObject : GdiObject {
  BrushObject() : GdiObject(kBrush) {}
  bool hollow = false;
  uint32_t argb = kWhite;
};

struct IconObject : GdiObject {
  IconObject() : GdiObject(kIcon) {}
  std::vector<win::BYTE> ico;
  int resourceId = 0;
};

struct DcObject {
  win::HWND window = nullptr;  // nullptr: a memory DC
  uintptr_t bitmap = 0;        // selected into a memory DC
  uintptr_t font = 0;
  uintptr_t brush = 0;
  win::COLORREF textColor = win::RGB(0, 0, 0);
  win::COLORREF bkColor = win::RGB(255, 255, 255);
  int bkMode = win::OPAQUE;
};

// ---- windows and queues ----

struct SentMessage;

struct ThreadQueue {
  struct Posted {
    win::MSG msg;
    uint64_t seq;
  };
  std::deque<Posted> posted;
  std::deque<std::shared_ptr<SentMessage>> sent;
  std::condition_variable cv;
  bool quit = false;
  int quitCode = 0;
  bool alive = true;
  uint64_t nextSeq = 1;
  uint64_t taken = 0;      // seq of the last posted message taken out
  uint64_t processed = 0;  // seq of the last one the thread is done with (it asked for the next)
};

struct SentMessage {
  win::HWND hwnd;
  win::UINT msg;
  win::WPARAM wParam;
  win::LPARAM lParam;
  win::LRESULT result = 0;
  bool done = false;
  std::shared_ptr<ThreadQueue> replyTo;
};

struct Wnd {
  win::HWND hwnd = nullptr;
  win::HWND parent = nullptr;
  std::shared_ptr<ThreadQueue> queue;
  uint64_t order = 0;
  int id = 0;
  std::u16string cls;
  win::DWORD style = 0, exStyle = 0;
  std::u16string text;
  int x = 0, y = 0, w = 0, h = 0;  // parent's client coordinates; the screen for top-level windows
  win::WNDPROC proc = nullptr;
  win::DLGPROC dlgProc = nullptr;
  bool dialog = false;
  int templateId = 0;
  bool desktopRow = false;
  win::HINSTANCE instance = nullptr;
  win::LONG_PTR userData = 0, msgResult = 0, dlgUser = 0;
  uintptr_t font = 0, image = 0, iconSmall = 0, iconBig = 0;
  bool invalid = false, erase = false;
  bool trackLeave = false, trackHover = false;
  bool pressed = false;
  // How a text static last painted itself (the parent's WM_CTLCOLORSTATIC answer).
  bool painted = false;
  win::COLORREF textColor = win::RGB(0, 0, 0);
  int bkMode = win::OPAQUE;
  win::COLORREF bkColor = win::RGB(0xF0, 0xF0, 0xF0);
  uintptr_t brush = 0;
  std::vector<win::HWND> children;
  std::unique_ptr<Canvas> surface;
  win::HWND focus = nullptr;  // dialogs: the focused control
};

inline uintptr_t Key(const void* h) { return reinterpret_cast<uintptr_t>(h); }

inline bool IsButton(const Wnd& w) { return win::EqualsNoCase(w.cls, u"Button"); }
inline bool IsStatic(const Wnd& w) { return win::EqualsNoCase(w.cls, u"Static"); }
inline bool IsBitmapStatic(const Wnd& w) { return IsStatic(w) && (w.style & win::SS_TYPEMASK) == win::SS_BITMAP; }
inline int BorderOf(const Wnd& w) { return (w.style & win::WS_BORDER) ? 1 : 0; }

// Everything the process's threads share; also reached by thread-exit clean-up.
struct Core {
  std::mutex mu;
  std::map<std::thread::id, std::shared_ptr<ThreadQueue>> queues;
  std::condition_variable progress;  // a queue's processed mark moved or its thread ended
};

// The window procedures of the dialog, button and static classes and of any other control.
win::LRESULT CALLBACK DialogClassProc(win::HWND, win::UINT, win::WPARAM, win::LPARAM);
win::LRESULT CALLBACK ButtonClassProc(win::HWND, win::UINT, win::WPARAM, win::LPARAM);
win::LRESULT CALLBACK StaticClassProc(win::HWND, win::UINT, win::WPARAM, win::LPARAM);
win::LRESULT CALLBACK PlainClassProc(win::HWND, win::UINT, win::WPARAM, win::LPARAM);

class WinsimWindows : public win::IWindows {
 public:
  explicit WinsimWindows(std::shared_ptr<Machine> m);
  ~WinsimWindows() override;

  // ---- windows ----

  win::HWND CreateDialogParamW(win::HINSTANCE instance, int templateId, win::HWND parent, win::DLGPROC proc,
                               win::LPARAM param) override;
  win::HWND GetDlgItem(win::HWND dialog, int id) override;
  int GetDlgCtrlID(win::HWND window) override;
  win::HWND GetParent(win::HWND window) override;
  win::BOOL ShowWindow(win::HWND window, int cmd) override;
  win::BOOL IsWindowVisible(win::HWND window) override;
  win::BOOL IsWindow(win::HWND window) override;
  win::BOOL SetWindowPos(win::HWND window, win::HWND insertAfter, int x, int y, int cx, int cy,
                         win::UINT flags) override;
  win::BOOL MoveWindow(win::HWND window, int x, int y, int width, int height, win::BOOL repaint) override;
  win::BOOL GetWindowRect(win::HWND window, win::RECT* rect) override;
  win::BOOL GetClientRect(win::HWND window, win::RECT* rect) override;
  int MapWindowPoints(win::HWND from, win::HWND to, win::POINT* points, win::UINT count) override;
  win::BOOL SetWindowTextW(win::HWND window, std::u16string_view text) override;
  std::u16string GetWindowTextW(win::HWND window) override;
  win::LRESULT SendMessageW(win::HWND window, win::UINT msg, win::WPARAM wParam, win::LPARAM lParam) override;
  win::BOOL PostMessageW(win::HWND window, win::UINT msg, win::WPARAM wParam, win::LPARAM lParam) override;
  win::LONG_PTR SetWindowLongPtrW(win::HWND window, int index, win::LONG_PTR value) override;
  win::LONG_PTR GetWindowLongPtrW(win::HWND window, int index) override;
  win::LRESULT CallWindowProcW(win::WNDPROC proc, win::HWND window, win::UINT msg, win::WPARAM wParam,
                               win::LPARAM lParam) override;
  win::LRESULT DefWindowProcW(win::HWND window, win::UINT msg, win::WPARAM wParam, win::LPARAM lParam) override;

  // What a dialog gets when its procedure leaves a message to the dialog manager.
  win::LRESULT DefDlgProc(win::HWND window, win::UINT msg, win::WPARAM wParam, win::LPARAM lParam);

  win::BOOL InvalidateRect(win::HWND window, const win::RECT* rect, win::BOOL erase) override;
  win::BOOL RedrawWindow(win::HWND window, const win::RECT* rect, win::HRGN region, win::UINT flags) override;
  win::BOOL UpdateWindow(win::HWND window) override;
  win::BOOL DestroyWindow(win::HWND window) override;
  void PostQuitMessage(int exitCode) override;
  win::BOOL GetMessageW(win::MSG* msg, win::HWND window, win::UINT filterMin, win::UINT filterMax) override;
  win::BOOL PeekMessageW(win::MSG* msg, win::HWND window, win::UINT filterMin, win::UINT filterMax,
                         win::UINT removeFlags) override;
  win::BOOL IsDialogMessageW(win::HWND dialog, win::MSG* msg) override;
  win::BOOL TranslateMessage(const win::MSG* msg) override;
  win::LRESULT DispatchMessageW(const win::MSG* msg) override;
  win::BOOL TrackMouseEvent(win::TRACKMOUSEEVENT* track) override;
  win::HWND GetDesktopWindow() override;
  int GetSystemMetrics(int index) override;
  win::HWND SetFocus(win::HWND window) override;
  win::HWND GetFocus() override;

  // ---- GDI ----

  win::HBITMAP LoadBitmapW(win::HINSTANCE, int id) override;
  win::HICON LoadIconW(win::HINSTANCE, int id) override;
  win::HANDLE LoadImageW(win::HINSTANCE instance, int id, win::UINT type, int, int, win::UINT) override;
  win::BOOL DestroyIcon(win::HICON icon) override;
  int GetObjectW(win::HGDIOBJ object, int size, void* out) override;
  win::BOOL DeleteObject(win::HGDIOBJ object) override;
  win::HGDIOBJ GetStockObject(int index) override;
  win::HDC BeginPaint(win::HWND window, win::PAINTSTRUCT* paint) override;
  win::BOOL EndPaint(win::HWND window, const win::PAINTSTRUCT* paint) override;
  win::HDC GetDC(win::HWND window) override;
  int ReleaseDC(win::HWND, win::HDC dc) override;
  win::HDC CreateCompatibleDC(win::HDC) override;
  win::BOOL DeleteDC(win::HDC dc) override;
  win::HGDIOBJ SelectObject(win::HDC dc, win::HGDIOBJ object) override;
  win::BOOL BitBlt(win::HDC dest, int x, int y, int cx, int cy, win::HDC src, int x1, int y1, win::DWORD rop) override;
  win::HFONT CreateFontW(int height, int, int, int, int weight, win::DWORD, win::DWORD, win::DWORD, win::DWORD,
                         win::DWORD, win::DWORD, win::DWORD, win::DWORD, const char16_t* face) override;
  win::COLORREF SetTextColor(win::HDC dc, win::COLORREF color) override;
  int SetBkMode(win::HDC dc, int mode) override;

  // ---- GDI+ ----

  int GdiplusStartup(win::ULONG_PTR* token) override;
  void GdiplusShutdown(win::ULONG_PTR) override;
  int GdipLoadImageFromStream(win::IStream* stream, win::Gdiplus::GpImage** image) override;
  int GdipDrawImageRect(win::HDC dc, win::Gdiplus::GpImage* image, int x, int y, int width, int height) override;

  // ---- reached by the class procedures ----

  win::DLGPROC DlgProcOf(win::HWND window);
  win::LONG_PTR MsgResultOf(win::HWND window);
  win::LRESULT ButtonProc(win::HWND window, win::UINT msg, win::WPARAM wParam, win::LPARAM lParam);
  win::LRESULT StaticProc(win::HWND window, win::UINT msg, win::WPARAM wParam, win::LPARAM lParam);

  // ---- requests of other processes (winsim ui, cross-process PostMessage) ----

  std::string HandleRequest(const std::string& request, int* code);

 private:
  static inline const win::HWND kDesktopHwnd = reinterpret_cast<win::HWND>(static_cast<uintptr_t>(0x10001));

  int ScreenWidth();
  int ScreenHeight();

  // The resource in the user's UI language: Korean on a Korean machine, else English, else any.
  std::optional<std::vector<win::BYTE>> LoadLocalized(std::u16string_view type, int id);

  uintptr_t AddObject(std::shared_ptr<GdiObject> o);
  win::HDC NewDcLocked(std::shared_ptr<DcObject> dc);

  // The 1x1 bitmap a fresh memory DC holds, handed back by the first SelectObject.
  uintptr_t DefaultBitmapLocked();
  win::LRESULT DefaultControlColors(win::HDC dc);

  win::HWND NewLocalHandle();
  Wnd* FindLocked(win::HWND h);
  bool IsOurs(win::HWND h);
  bool VisibleLocked(Wnd* w);
  win::HWND RootLocked(win::HWND h);
  win::HWND RootOf(win::HWND h);

  // IsChild: along WS_CHILD windows only; an owned top-level window is no child of its owner.
  bool IsDescendantLocked(win::HWND ancestor, win::HWND h);

  // Screen position of the window's outer top-left corner.
  win::POINT ScreenOriginLocked(Wnd* w);
  win::POINT ClientOriginLocked(Wnd* w);

  // The top-level window whose surface a window's DC draws on, and the window's client origin there.
  Wnd* SurfaceOfLocked(win::HWND h, win::POINT* origin);

  void ResizeLocked(Wnd* w, int width, int height);
  void InvalidateLocked(Wnd* w, bool erase, bool children);

  // A visible window of the tree still waits for its WM_PAINT (and its thread is there to paint).
  bool PaintPendingLocked(win::HWND top);

  void CollectTreeLocked(win::HWND h, std::vector<win::HWND>* out);
  void UpdateTree(win::HWND window, bool children);

  std::shared_ptr<ThreadQueue> MyQueueLocked();
  uint64_t PostLocked(const std::shared_ptr<ThreadQueue>& q, win::MSG msg);

  // 0 when the window is gone or its thread ended.
  uint64_t Post(win::HWND window, win::UINT msg, win::WPARAM wParam, win::LPARAM lParam);

  void MarkProcessedLocked(const std::shared_ptr<ThreadQueue>& q);

  // Runs one message sent to this thread by another; false when none waits.
  bool ServeOneSentLocked(const std::shared_ptr<ThreadQueue>& q, std::unique_lock<std::mutex>& lock);

  bool Matches(const win::MSG& m, win::HWND window, win::UINT lo, win::UINT hi);
  bool TakeLocked(const std::shared_ptr<ThreadQueue>& q, win::MSG* out, win::HWND window, win::UINT lo, win::UINT hi,
                  bool remove);
  win::LRESULT CallProc(win::HWND window, win::UINT msg, win::WPARAM wParam, win::LPARAM lParam);

 public:
  // Delivers to the owner thread and waits for its answer; *ok false when the window or its
  // thread went away or the time-out passed.
  win::LRESULT Send(win::HWND window, win::UINT msg, win::WPARAM wParam, win::LPARAM lParam, win::DWORD timeoutMs,
                    bool* ok);

 private:
  std::optional<Pixels> ReadDcLocked(const DcObject& dc, int x, int y, int w, int h);
  bool DrawOnDcLocked(win::HDC dest, const Pixels& px, int x, int y, bool opaque = true);
  static Pixels Scale(const Pixels& src, int w, int h);

  // The picture of a top-level window: border, surface, then its visible children in creation order.
  std::optional<Canvas> PictureLocked(Wnd* top);
  std::string LayoutLocked(Wnd* top);
  Wnd* ChooseDialogLocked();
  std::string Input(const std::string& what, const std::string& arg, int* code);
  bool WaitProcessed(const std::shared_ptr<ThreadQueue>& q, uint64_t seq);

  void StartServer();

  std::shared_ptr<Machine> m_;
  std::shared_ptr<Core> core_;
  std::map<uintptr_t, std::unique_ptr<Wnd>> windows_;
  std::map<uintptr_t, std::shared_ptr<GdiObject>> objects_;
  std::map<int, uintptr_t> stock_;
  uintptr_t faceBrush_ = 0;
  uintptr_t defaultBitmap_ = 0;
  std::map<uintptr_t, std::shared_ptr<DcObject>> dcs_;
  uintptr_t nextObject_ = 0x3000000;
  uintptr_t nextDc_ = 0x5000000;
  uintptr_t nextLocal_ = 0x40001;
  uint64_t order_ = 0;
  win::HWND focusRoot_ = nullptr;
  std::atomic<win::ULONG_PTR> gdiplusTokens_{0};
  std::mutex serverMutex_;
  std::unique_ptr<UiServer> server_;
};

}  // namespace winsim
