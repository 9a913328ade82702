// The console around one conversion: the program's arguments, the typed
// path, and the wait that keeps a window opened by a dropped file visible.
#pragma once

#include <string>
#include <vector>

// Prints "Press any key to continue . . ." and waits for one key, but only
// when someone can press it: on Windows when a console window is attached and
// standard input is that console, elsewhere when standard input is a
// terminal. Otherwise (a pipe, a file, no console at all) it returns at once.
void PauseForKey();

// The program's arguments, the program name first. Elsewhere they are argv
// as given; on Windows they are read from the UTF-16 command line and
// returned as UTF-8, so names outside the code page survive.
std::vector<std::string> ProgramArguments(int argc, char** argv);

// One line from standard input, without its line feed; empty at end of
// input. On Windows a console line is read as UTF-16 and returned as UTF-8;
// redirected input is taken as UTF-8 when it is valid UTF-8, else in the
// system's code page. Elsewhere the bytes are returned as read.
std::string ReadInputLine();

// The wide-character form of a path as ProgramArguments and ReadInputLine
// give it: UTF-8 on Windows, the user's locale elsewhere (bytes the locale
// cannot decode stand for themselves).
std::wstring WidePath(const std::string& path);

// Makes the console show UTF-8 output (the paths in messages) on Windows;
// nothing elsewhere.
void PrepareConsole();
