// The sleep hold: the music stays paused from the suspend broadcast until the machine has woken
// with a user at it. A wake timer, Wake-on-LAN or maintenance wakes it with nobody there and
// Windows then sends PBT_APMRESUMEAUTOMATIC alone; PBT_APMRESUMESUSPEND follows only once there
// was input. Input seen after the wake ends the hold too, should that broadcast be missed.
// Moved on by the signal window on the player's thread; asked by the pause conditions.
#include "engine/sleep_hold.h"

SleepHold sleepHold;

static_assert(sizeof(LASTINPUTINFO) == 8, "LASTINPUTINFO layout");

void beginSleepHold(void)
{
    InterlockedExchange(&sleepHold.state, SLEEP_SUSPENDED);
}

void endSleepHold(void)
{
    InterlockedExchange(&sleepHold.state, SLEEP_NONE);
}

void noteWake(BOOL userPresent)
{
    if (userPresent) {
        endSleepHold();
        return;
    }
    // The tick is in place before the state that makes the poll read it.
    InterlockedExchange((volatile LONG *)&sleepHold.wokeAt, (LONG)GetTickCount());
    (void)InterlockedCompareExchange(&sleepHold.state, SLEEP_WOKE_UNATTENDED, SLEEP_SUSPENDED);
}

static BOOL inputSince(DWORD tick)
{
    LASTINPUTINFO input = {};
    input.cbSize = sizeof input;
    return GetLastInputInfo(&input) && (LONG)(input.dwTime - tick) > 0;
}

// Input is looked for only after a wake that brought nobody; a new suspend meanwhile is kept.
BOOL sleepHoldsPlayback(void)
{
    if (sleepHold.state == SLEEP_WOKE_UNATTENDED && inputSince(sleepHold.wokeAt))
        (void)InterlockedCompareExchange(&sleepHold.state, SLEEP_NONE, SLEEP_WOKE_UNATTENDED);
    return sleepHold.state != SLEEP_NONE;
}
