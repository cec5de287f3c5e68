#include <windows.h>

#include "platform/Clock.h"

uint64_t wallClockTicks() {
    FILETIME ft;
    GetSystemTimePreciseAsFileTime(&ft);
    return (static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
}

void sleepMicroseconds(int32_t microseconds) {
    if (microseconds <= 0) return;
    LARGE_INTEGER freq, now, end;
    QueryPerformanceFrequency(&freq);
    QueryPerformanceCounter(&now);
    end.QuadPart = now.QuadPart + freq.QuadPart * microseconds / 1000000;
    // Coarse sleep first, then wait out the rest against the counter.
    if (microseconds > 2000) Sleep(static_cast<DWORD>(microseconds / 1000 - 1));
    do {
        QueryPerformanceCounter(&now);
    } while (now.QuadPart < end.QuadPart);
}
