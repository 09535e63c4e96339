// lmvAssistant.exe stand-in: serves the assistant interface; procedure 15 asks it to quit,
// procedure 30 to remove its menu entries and shortcuts.
#include <vector>

#include "platform/entry.h"
#include "standin.h"

int wWinMain(win::HINSTANCE, win::HINSTANCE, char16_t* cmdLine, int) {
  std::vector<win::UINT> others;
  for (win::UINT p = 0; p <= 30; ++p) {
    if (p != 15) others.push_back(p);
  }
  return standin::ServeUntilQuit(u"lmvAssistant", "tarlin_{E6D5DEA8-A525-477C-9B38-B2B59683F3F9}",
                                 "D2C60D21-5381-4A4A-B7F7-3F9479813CBD", 15, others, standin::ParseOptions(cmdLine));
}
