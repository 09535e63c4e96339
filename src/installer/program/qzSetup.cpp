// qzSetup: the agent's installer; the command line and show state are not read.
#include <cstdio>

#include "installer/entry.h"
#include "platform/entry.h"

int wWinMain(win::HINSTANCE, win::HINSTANCE, char16_t*, int) {
  int code = qz::InstallerMain();
  if (code == qz::kExitInstallFlowMissing) {
    std::fputs("qzSetup: this build has no install flow yet; the payload was checked and nothing was installed\n",
               stderr);
  }
  return code;
}
