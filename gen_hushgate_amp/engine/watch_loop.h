// The watch thread: polls the player and decides, at the interval or at once when a signal
// wakes it. Started by init, ended by quit's stop request.
#pragma once
#include <windows.h>

enum { MIN_POLL_INTERVAL_MS = 100 };

DWORD WINAPI watchLoop(LPVOID unused);
// One poll of the player and the decision on it; the loop's body between two waits.
void pollOnce(void);
// How long the loop waits between two polls when nothing wakes it; never below 100 ms, so
// that a hand-written tiny interval cannot make it poll back to back.
DWORD pollInterval(LONG checkTime);
// FALSE once the stop was requested; otherwise returns when the interval is up or a signal came.
BOOL waitForNextPoll(void);
