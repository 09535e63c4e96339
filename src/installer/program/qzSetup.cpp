// qzSetup: the agent's installer; the command line and show state are not read.
#include "installer/entry.h"
#include "platform/entry.h"

int wWinMain(win::HINSTANCE instance, win::HINSTANCE, char16_t*, int) { return qz::InstallerMain(instance); }
