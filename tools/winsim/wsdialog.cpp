// wsdialog: a small windowed program of simulated machines for tests and people. It shows the
// dialog of template "#5" ID (default 100) and prints, one line each on standard output, what the
// dialog and its control 10 get:
//   ready                      the dialog is up and shown
//   init LPARAM                WM_INITDIALOG with its creation parameter (hex)
//   command ID CODE            WM_COMMAND
//   close                      WM_CLOSE (left to the dialog manager, which answers with IDCANCEL)
//   mouseactivate | mousemove | mouseleave | lbuttonup   control 10's mouse messages
// Bitmap "#2" 200, when present, goes on control 10 (BM_SETIMAGE) and 11 (STM_SETIMAGE); bitmap
// 201 is drawn as the background. Control 13's text is drawn red on a transparent background.
// Control 12 ends the program with exit code 7.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/entry.h"
#include "platform/platform.h"
#include "platform/text.h"
#include "platform/window.h"

using namespace win;

namespace {

constexpr LPARAM kInitParam = 0x5EED;
WNDPROC gButtonProc = nullptr;
HBITMAP gBackground = nullptr;
bool gTracking = false;

void Say(const std::string& line) {
  std::printf("%s\n", line.c_str());
  std::fflush(stdout);
}

LRESULT CALLBACK ButtonProc(HWND h, UINT msg, WPARAM wParam, LPARAM lParam) {
  switch (msg) {
    case WM_MOUSEACTIVATE: Say("mouseactivate"); break;
    case WM_LBUTTONUP: Say("lbuttonup"); break;
    case WM_MOUSEMOVE:
      Say("mousemove");
      if (!gTracking) {
        TRACKMOUSEEVENT t;
        t.dwFlags = TME_HOVER | TME_LEAVE;
        t.hwndTrack = h;
        t.dwHoverTime = HOVER_DEFAULT;
        gTracking = TrackMouseEvent(&t) != FALSE;
      }
      break;
    case WM_MOUSELEAVE:
      Say("mouseleave");
      gTracking = false;
      break;
    default: break;
  }
  return CallWindowProcW(gButtonProc, h, msg, wParam, lParam);
}

INT_PTR CALLBACK DialogProc(HWND h, UINT msg, WPARAM wParam, LPARAM lParam) {
  switch (msg) {
    case WM_INITDIALOG: {
      char buf[32];
      std::snprintf(buf, sizeof buf, "init %llx", static_cast<unsigned long long>(lParam));
      Say(buf);
      if (HBITMAP b = LoadBitmapW(nullptr, 200)) {
        SendMessageW(GetDlgItem(h, 10), BM_SETIMAGE, IMAGE_BITMAP, reinterpret_cast<LPARAM>(b));
        SendMessageW(GetDlgItem(h, 11), STM_SETIMAGE, IMAGE_BITMAP, reinterpret_cast<LPARAM>(b));
      }
      gBackground = LoadBitmapW(nullptr, 201);
      if (HWND b = GetDlgItem(h, 10)) {
        gButtonProc = reinterpret_cast<WNDPROC>(SetWindowLongPtrW(b, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(ButtonProc)));
      }
      return TRUE;
    }
    case WM_PAINT: {
      PAINTSTRUCT ps;
      HDC dc = BeginPaint(h, &ps);
      if (gBackground) {
        BITMAP bm;
        GetObjectW(gBackground, sizeof bm, &bm);
        HDC mem = CreateCompatibleDC(dc);
        HGDIOBJ old = SelectObject(mem, gBackground);
        BitBlt(dc, 0, 0, bm.bmWidth, bm.bmHeight, mem, 0, 0, SRCCOPY);
        SelectObject(mem, old);
        DeleteDC(mem);
      }
      EndPaint(h, &ps);
      return TRUE;
    }
    case WM_CTLCOLORSTATIC:
      if (GetDlgCtrlID(reinterpret_cast<HWND>(lParam)) == 13) {
        SetTextColor(reinterpret_cast<HDC>(wParam), RGB(255, 0, 0));
        SetBkMode(reinterpret_cast<HDC>(wParam), TRANSPARENT);
        return reinterpret_cast<INT_PTR>(GetStockObject(NULL_BRUSH));
      }
      return FALSE;
    case WM_COMMAND:
      Say("command " + std::to_string(LOWORD(wParam)) + " " + std::to_string(HIWORD(wParam)));
      if (LOWORD(wParam) == 12) DestroyWindow(h);
      return TRUE;
    case WM_CLOSE:
      Say("close");
      return FALSE;
    case WM_DESTROY:
      PostQuitMessage(7);
      return TRUE;
    default:
      return FALSE;
  }
}

}  // namespace

int wWinMain(HINSTANCE instance, HINSTANCE, char16_t* cmdLine, int) {
  std::string arg = WideToUtf8(cmdLine ? cmdLine : u"");
  int id = arg.empty() ? 100 : std::atoi(arg.c_str());
  HWND dialog = CreateDialogParamW(instance, id, nullptr, DialogProc, kInitParam);
  if (!dialog) {
    Say("no dialog " + std::to_string(GetLastError()));
    return 1;
  }
  ShowWindow(dialog, SW_SHOW);
  Say("ready");
  MSG msg;
  BOOL r;
  while ((r = GetMessageW(&msg, nullptr, 0, 0)) != 0 && r != -1) {
    if (!IsDialogMessageW(dialog, &msg)) {
      TranslateMessage(&msg);
      DispatchMessageW(&msg);
    }
  }
  return static_cast<int>(msg.wParam);
}
