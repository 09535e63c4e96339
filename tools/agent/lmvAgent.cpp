// lmvAgent.exe stand-in: serves the agent interface; procedure 3 asks it to quit.
#include "platform/entry.h"
#include "standin.h"

int wWinMain(win::HINSTANCE, win::HINSTANCE, char16_t* cmdLine, int) {
  return standin::ServeUntilQuit(u"lmvAgent", "tarlin_{79B68938-56D0-4B5B-9067-62ECE871808D}",
                                 "8288B946-380C-491B-B15D-501EC98B2926", 3, {1, 2}, standin::ParseOptions(cmdLine));
}
