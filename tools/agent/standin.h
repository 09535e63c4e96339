// What the agent stand-ins share: their test switches and an RPC server for one interface whose
// quit procedure ends the program.
//   -ignore      take the quit call and go on running
//   -slow MS     end MS milliseconds (a pause, time-scaled) after the quit call
//   -break       end the process while answering the quit call (the caller sees 1726)
//   -exitafter MS  end by itself after MS milliseconds (a pause)
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.h"

namespace standin {

struct Options {
  bool ignoreQuit = false;
  bool breakCall = false;
  win::DWORD slowMs = 0;
  win::DWORD exitAfterMs = win::INFINITE;
};

Options ParseOptions(std::u16string_view cmdLine);

// Records a line in the machine's journal (OutputDebugString), prefixed with the program's name.
void Note(std::u16string_view program, std::u16string_view text);

// Serves one interface on an ncalrpc endpoint until the quit procedure is obeyed or exitAfterMs
// passes; other procedures listed in `otherProcs` answer with no result, the rest are out of range.
// Returns the exit code (0).
int ServeUntilQuit(std::u16string_view program, std::string_view endpoint, std::string_view uuid,
                   win::UINT quitProc, const std::vector<win::UINT>& otherProcs, const Options& options);

// Runs until ended from outside (or exitAfterMs).
int Idle(const Options& options);

}  // namespace standin
