#include "commands.h"

namespace qzserver {

void RegisterCommands(CommandTable& table) {
  // No commands yet: an unknown `_c` is answered with status 400 by the server.
  (void)table;
}

}  // namespace qzserver
