#include "platform/console.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cwchar>

#ifdef _WIN32
#define WIN32_LEAN_AND_MEAN
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <shellapi.h>

namespace {

std::string Utf8FromWide(const wchar_t* wide, int length) {
    if (length == 0) return std::string();
    const int n = WideCharToMultiByte(CP_UTF8, 0, wide, length, nullptr, 0, nullptr, nullptr);
    if (n <= 0) return std::string();
    std::string out(size_t(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide, length, &out[0], n, nullptr, nullptr);
    return out;
}

std::wstring WideFrom(UINT codePage, DWORD flags, const std::string& bytes) {
    if (bytes.empty()) return std::wstring();
    const int n = MultiByteToWideChar(codePage, flags, bytes.data(), int(bytes.size()), nullptr, 0);
    if (n <= 0) return std::wstring();
    std::wstring out(size_t(n), L'\0');
    MultiByteToWideChar(codePage, flags, bytes.data(), int(bytes.size()), &out[0], n);
    return out;
}

// Standard input is a console someone types into.
bool InputIsConsole(HANDLE in) {
    DWORD mode = 0;
    return in != nullptr && in != INVALID_HANDLE_VALUE && GetConsoleMode(in, &mode) != 0;
}

bool IsModifierKey(WORD key) {
    return key == VK_SHIFT || key == VK_CONTROL || key == VK_MENU || key == VK_CAPITAL ||
           key == VK_NUMLOCK || key == VK_SCROLL || key == VK_LWIN || key == VK_RWIN;
}

}  // namespace

void PauseForKey() {
    // A program started without a console (from a script, a service, another
    // program's pipe) must never hang waiting for a key nobody can press.
    HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
    if (GetConsoleWindow() == nullptr || !InputIsConsole(in)) return;
    printf("Press any key to continue . . .");
    fflush(stdout);
    // Keys typed before the prompt (the Enter after a dropped path) do not count.
    FlushConsoleInputBuffer(in);
    INPUT_RECORD record;
    DWORD read = 0;
    while (ReadConsoleInputW(in, &record, 1, &read) && read == 1) {
        if (record.EventType == KEY_EVENT && record.Event.KeyEvent.bKeyDown &&
            !IsModifierKey(record.Event.KeyEvent.wVirtualKeyCode))
            break;
    }
    printf("\n");
    fflush(stdout);
}

// The files a wildcard argument (* or ? in its last part) names, in name
// order, with the argument's folder part in front; none when nothing matches.
static std::vector<std::wstring> ExpandWildcard(const std::wstring& pattern) {
    std::vector<std::wstring> names;
    const size_t slash = pattern.find_last_of(L"\\/:");
    const std::wstring folder = slash == std::wstring::npos ? L"" : pattern.substr(0, slash + 1);
    if (pattern.find_first_of(L"*?", folder.size()) == std::wstring::npos) return names;
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW(pattern.c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return names;
    do {
        // Folders are named by wildcards too, except "." and "..".
        if (wcscmp(found.cFileName, L".") != 0 && wcscmp(found.cFileName, L"..") != 0)
            names.push_back(folder + found.cFileName);
    } while (FindNextFileW(search, &found));
    FindClose(search);
    std::sort(names.begin(), names.end());
    return names;
}

std::vector<std::string> ProgramArguments(int argc, char** argv) {
    int count = 0;
    wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
    if (!wide) return std::vector<std::string>(argv, argv + argc);
    std::vector<std::string> args;
    for (int i = 0; i < count; ++i) {
        // cmd hands wildcards over as typed; like other Windows programs the
        // converter expands them itself (a pattern that matches nothing stays).
        const std::vector<std::wstring> matches = i > 0 ? ExpandWildcard(wide[i]) : std::vector<std::wstring>();
        if (matches.empty()) args.push_back(Utf8FromWide(wide[i], int(wcslen(wide[i]))));
        for (const std::wstring& m : matches) args.push_back(Utf8FromWide(m.data(), int(m.size())));
    }
    LocalFree(wide);
    return args;
}

std::string ReadInputLine() {
    HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
    if (InputIsConsole(in)) {
        // The console hands over UTF-16 whatever its code page; a dropped
        // path arrives as typed keys ending in Enter.
        std::wstring line;
        wchar_t c = 0;
        DWORD read = 0;
        while (ReadConsoleW(in, &c, 1, &read, nullptr) && read == 1 && c != L'\n') line += c;
        return Utf8FromWide(line.data(), int(line.size()));
    }
    std::string bytes;
    int c;
    while ((c = fgetc(stdin)) != EOF && c != '\n') bytes += static_cast<char>(c);
    if (!WideFrom(CP_UTF8, MB_ERR_INVALID_CHARS, bytes).empty() || bytes.empty()) return bytes;
    const std::wstring wide = WideFrom(CP_ACP, 0, bytes);
    return Utf8FromWide(wide.data(), int(wide.size()));
}

std::wstring WidePath(const std::string& path) { return WideFrom(CP_UTF8, 0, path); }

void PrepareConsole() { SetConsoleOutputCP(CP_UTF8); }

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

std::vector<std::string> ProgramArguments(int argc, char** argv) {
    return std::vector<std::string>(argv, argv + argc);
}

std::string ReadInputLine() {
    std::string line;
    int c;
    while ((c = fgetc(stdin)) != EOF && c != '\n') line += static_cast<char>(c);
    return line;
}

std::wstring WidePath(const std::string& path) {
    std::wstring out;
    std::mbstate_t state{};
    const char* p = path.c_str();
    const char* end = p + path.size();
    while (p < end) {
        wchar_t wc = 0;
        const size_t n = mbrtowc(&wc, p, size_t(end - p), &state);
        if (n == 0) break;
        if (n == static_cast<size_t>(-1) || n == static_cast<size_t>(-2)) {
            wc = static_cast<wchar_t>(static_cast<unsigned char>(*p));
            state = std::mbstate_t{};
            p += 1;
        } else {
            p += n;
        }
        out += wc;
    }
    return out;
}

void PrepareConsole() {}
#endif
