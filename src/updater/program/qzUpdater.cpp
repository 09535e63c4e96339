// qzUpdater: the windowless updater of the agent.
#include "platform/entry.h"
#include "updater/entry.h"

int wWinMain(win::HINSTANCE, win::HINSTANCE, char16_t* cmdLine, int) { return qz::UpdaterMain(cmdLine ? cmdLine : u""); }
