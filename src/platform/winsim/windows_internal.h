// The simulated window system's pieces that meet across files: the process's window service, the
// socket through which other processes (winsim ui, PostMessage from another process) reach it,
// and the dialog template text form.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/window.h"
#include "platform/winsim/machine.h"

namespace winsim {

std::unique_ptr<win::IWindows> MakeWindows(std::shared_ptr<Machine> machine);

// Dialog template ("#5" resource), UTF-8 text, one statement per line, ';' starts a comment:
//   DIALOG w h                   size in dialog units
//   STYLE flags                  names (WS_POPUP | DS_CENTER ...) or numbers, joined by '|'
//   EXSTYLE flags
//   CAPTION "text"
//   FONT points "face"
//   POS x y                      dialog units; ignored with DS_CENTER
//   CONTROL id class flags x y w h "text"   (flags without blanks here)
// Controls are always WS_CHILD; WS_VISIBLE only when written. Texts take \" \\ \n escapes.
struct DialogTemplate {
  struct Item {
    int id = 0;
    std::u16string cls;
    win::DWORD style = 0;
    int x = 0, y = 0, w = 0, h = 0;
    std::u16string text;
  };
  int x = 0, y = 0, w = 0, h = 0;
  win::DWORD style = 0, exStyle = 0;
  std::u16string caption;
  int fontPoints = 0;
  std::u16string fontFace;
  std::vector<Item> items;
};
// False, with *why set, when the text is malformed.
bool ParseDialogTemplate(const std::string& text, DialogTemplate* out, std::string* why);

// Dialog units to pixels with the base units of "MS Shell Dlg" 8 pt at 96 DPI: 6 x 13 pixels per
// 4 x 8 dialog units.
constexpr int kDialogBaseX = 6;
constexpr int kDialogBaseY = 13;
inline int DluToPixelsX(int dlu) { return (dlu * kDialogBaseX + (dlu >= 0 ? 2 : -2)) / 4; }
inline int DluToPixelsY(int dlu) { return (dlu * kDialogBaseY + (dlu >= 0 ? 4 : -4)) / 8; }

// One process's listening socket for the window system (started with its first window). Each
// request is one line; the answer is an exit code line followed by text.
class UiServer {
 public:
  using Handler = std::function<std::string(const std::string& request, int* code)>;
  UiServer(const std::string& root, int pid, Handler handler);
  ~UiServer();
  bool Start();

 private:
  void Run();
  std::string root_;
  int pid_;
  Handler handler_;
  int fd_ = -1;
  std::thread thread_;
};

// Sends one request to the window system of process pid of the machine at root. Returns the
// answer's exit code, -1 when nothing listens there, -2 when the answer broke off.
int UiRequest(const std::string& root, int pid, const std::string& request, std::string* answer, int timeoutMs);

// A message posted from another process to a window of process pid; false when that process has
// no window system.
bool PostToWindowProcess(const std::string& root, int pid, win::HWND window, win::UINT msg, win::WPARAM wParam,
                         win::LPARAM lParam);

// `winsim ui DIR [--pid N] COMMAND ...`: the process exit code.
int RunUiCommand(const std::string& root, const std::vector<std::string>& args);

}  // namespace winsim
