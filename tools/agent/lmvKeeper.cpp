// lmvKeeper.exe stand-in: runs until it is ended.
#include "platform/entry.h"
#include "standin.h"

int wWinMain(win::HINSTANCE, win::HINSTANCE, char16_t* cmdLine, int) {
  return standin::Idle(standin::ParseOptions(cmdLine));
}
