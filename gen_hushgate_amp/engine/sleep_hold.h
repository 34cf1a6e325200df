// The sleep hold: from the suspend broadcast until a wake with a user at the machine. Moved on
// by the signal window; asked by the pause conditions, whose poll also ends it on input after
// an unattended wake.
#pragma once
#include <windows.h>

enum { SLEEP_NONE, SLEEP_SUSPENDED, SLEEP_WOKE_UNATTENDED };
struct SleepHold {
    volatile LONG state;
    volatile DWORD wokeAt;  // the tick of the wake that brought no user
};
extern SleepHold sleepHold;

void beginSleepHold(void);
void noteWake(BOOL userPresent);
void endSleepHold(void);
BOOL sleepHoldsPlayback(void);
