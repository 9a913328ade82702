// The console wait that keeps a window opened by a dropped file visible.
#pragma once

// Windows runs the shell's "pause". Elsewhere, when standard input is a
// terminal, prints "Press any key to continue . . ." and waits for one key;
// when it is not (a pipe, /dev/null, a script) it returns at once.
void PauseForKey();
