// The sleep hold: from the suspend broadcast until a wake with a user at the machine. Moved on
// by the power broadcasts at the signal window; asked by the pause conditions, whose poll also
// ends it on input after an unattended wake.
#pragma once
#include <windows.h>

enum { SLEEP_NONE, SLEEP_SUSPENDED, SLEEP_WOKE_UNATTENDED };
struct SleepHold {
    volatile LONG state;
    volatile DWORD inputAtWake;  // the last input's tick when the machine woke with nobody there
    volatile LONG suspends;      // suspend broadcasts held for, counted: each sleep apart
};
extern SleepHold sleepHold;

void beginSleepHold(void);
void noteWake(BOOL userPresent);
void endSleepHold(void);
// A wake with a user told late ends the hold only of the sleep it followed, not of a later one.
LONG sleepsHeld(void);
void endSleepHoldOf(LONG sleep);
BOOL sleepHoldsPlayback(void);
// The signal window's handlers of the power broadcasts and of a wake with a user told late.
LRESULT powerBroadcastSignal(WPARAM event, LPARAM);
LRESULT wakeWithUserSignal(WPARAM sleep, LPARAM);
