#include "platform/console.h"

#include <cstdio>
#include <cstdlib>

#ifdef _WIN32
void PauseForKey() { system("pause"); }
#else
#include <termios.h>
#include <unistd.h>

void PauseForKey() {
    if (!isatty(STDIN_FILENO)) return;
    printf("Press any key to continue . . .");
    fflush(stdout);
    termios saved{};
    const bool raw = tcgetattr(STDIN_FILENO, &saved) == 0;
    if (raw) {
        termios t = saved;
        t.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
        t.c_cc[VMIN] = 1;
        t.c_cc[VTIME] = 0;
        tcsetattr(STDIN_FILENO, TCSANOW, &t);
    }
    char c;
    ssize_t n = read(STDIN_FILENO, &c, 1);
    (void)n;
    if (raw) tcsetattr(STDIN_FILENO, TCSANOW, &saved);
    printf("\n");
    fflush(stdout);
}
#endif
