// The sleep hold: from the suspend broadcast until a wake with a user at the machine. Moved on
// by the power broadcasts at the signal window; asked by the pause conditions, whose poll also
// ends it on input after an unattended wake.
#pragma once
#include <windows.h>

// SLEEP_WAKING: a user woke it, and nothing could say whether the session is about to report a
// lock: the hold stays a short while for that notice.
enum { SLEEP_NONE, SLEEP_SUSPENDED, SLEEP_WOKE_UNATTENDED, SLEEP_WAKING };
struct SleepHold {
    volatile LONG state;
    volatile DWORD inputAtWake;  // the last input's tick when the machine woke with nobody there
    volatile DWORD lockWaitEnds;  // the tick the wait after a user's wake ends
    volatile LONG suspends;      // suspend broadcasts held for, counted: each sleep apart
};
extern SleepHold sleepHold;

void beginSleepHold(void);
void noteWake(BOOL userPresent);
void endSleepHold(void);
// A wake with a user told late ends the hold only of the sleep it followed, not of a later one.
LONG sleepsHeld(void);
BOOL sleepHoldsPlayback(void);
// How long until the wait after a user's wake is over; INFINITE when none runs.
DWORD sleepHoldDueIn(void);
// The signal window's handlers of the power broadcasts and of a wake with a user told late.
LRESULT powerBroadcastSignal(WPARAM event, LPARAM);
LRESULT wakeWithUserSignal(WPARAM sleep, LPARAM);
