#include "platform/entry.h"

namespace win {

std::u16string CommandLineArguments(std::u16string_view cmd) {
  size_t i = 0;
  if (i < cmd.size() && cmd[i] == u'"') {
    size_t end = cmd.find(u'"', 1);
    i = end == std::u16string_view::npos ? cmd.size() : end + 1;
  } else {
    while (i < cmd.size() && cmd[i] != u' ' && cmd[i] != u'\t') ++i;
  }
  while (i < cmd.size() && (cmd[i] == u' ' || cmd[i] == u'\t')) ++i;
  return std::u16string(cmd.substr(i));
}

}  // namespace win
