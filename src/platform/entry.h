// Every program's entry point, as on Windows: the command-line text after the program's name.
#pragma once

#include "platform/types.h"

int wWinMain(win::HINSTANCE instance, win::HINSTANCE previous, char16_t* cmdLine, int show);
