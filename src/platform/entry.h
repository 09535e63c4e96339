// Every program's entry point, as on Windows: the command-line text after the program's name.
#pragma once

#include <string>
#include <string_view>

#include "platform/types.h"

namespace win {

// The text after the program's name in a command line, as Windows hands it to wWinMain.
std::u16string CommandLineArguments(std::u16string_view commandLine);

}  // namespace win

int wWinMain(win::HINSTANCE instance, win::HINSTANCE previous, char16_t* cmdLine, int show);
