// Windows: a Ctrl-C while the output is replaced takes effect only once the temporary file has
// been renamed, so the output is whole, no temporary file is left, and the process then ends as
// an interrupt ends it (status 0xC000013A). Needs a console; under wine, a pseudo-terminal:
//   script -qec "wine scatterdisk_interrupt_check.exe out.bin" /dev/null
// An interrupt that Windows delivers only after the replacement is over proves nothing; the
// check then tries again, and exits with 1 if that keeps happening or the interrupt is lost.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "replace.h"

namespace {

std::string pattern;  // the temporary files beside the output
volatile LONG pressed, late;

// Sees only what comes once the replacement no longer holds interrupts back.
BOOL WINAPI notelate(DWORD) {
    late = 1;
    return TRUE;
}

// Presses Ctrl-C as soon as the temporary file shows.
DWORD WINAPI pressctrlc(LPVOID) {
    for (int waited = 0; waited < 10000; ++waited) {
        WIN32_FIND_DATAA found;
        HANDLE h = FindFirstFileA(pattern.c_str(), &found);
        if (h != INVALID_HANDLE_VALUE) {
            FindClose(h);
            pressed = GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0) ? 1 : -1;
            return 0;
        }
        Sleep(1);
    }
    return 0;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: scatterdisk_interrupt_check OUTPUT\n");
        return 2;
    }
    std::string out = argv[1];
    size_t slash = out.find_last_of("/\\");
    std::string dir = slash == std::string::npos ? "" : out.substr(0, slash + 1);
    pattern = dir + "." + out.substr(dir.size()) + ".scatterdisk-*";
    // Large enough that the write lasts well past the moment the file shows.
    std::vector<uint8_t> data(64u << 20, 0x5a);
    SetConsoleCtrlHandler(notelate, TRUE);
    for (int attempt = 0; attempt < 8; ++attempt) {
        pressed = late = 0;
        HANDLE presser = CreateThread(nullptr, 0, pressctrlc, nullptr, 0, nullptr);
        writeresult r = replacefile(argv[1], data.data(), data.size());
        WaitForSingleObject(presser, INFINITE);
        CloseHandle(presser);
        for (int waited = 0; pressed == 1 && late == 0 && waited < 100; ++waited)
            Sleep(10);
        fprintf(stderr, "attempt %d: result %d, Ctrl-C %s\n", attempt, static_cast<int>(r),
                pressed != 1 ? "not pressed" : late != 0 ? "came too late" : "lost");
        if (pressed != 1 || late == 0)
            return 1;
    }
    return 1;
}
