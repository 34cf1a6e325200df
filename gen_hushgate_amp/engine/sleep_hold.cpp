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
    InterlockedIncrement(&sleepHold.suspends);
    InterlockedExchange(&sleepHold.state, SLEEP_SUSPENDED);
}

LONG sleepsHeld(void)
{
    return sleepHold.suspends;
}

void endSleepHoldOf(LONG sleep)
{
    if (sleepHold.suspends == sleep)
        endSleepHold();
}

static BOOL readLastInput(DWORD &tick)
{
    LASTINPUTINFO input = {};
    input.cbSize = sizeof input;
    if (!GetLastInputInfo(&input))
        return FALSE;
    tick = input.dwTime;
    return TRUE;
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
    // Only the wake that ends a sleep marks it: a second automatic resume (Windows may send
    // one more) must not hide the input made since the first. The mark is in place before the
    // state that makes the poll read it.
    DWORD lastInput = 0;
    if (sleepHold.state != SLEEP_SUSPENDED || !readLastInput(lastInput))
        return;
    InterlockedExchange((volatile LONG *)&sleepHold.inputAtWake, (LONG)lastInput);
    (void)InterlockedCompareExchange(&sleepHold.state, SLEEP_WOKE_UNATTENDED, SLEEP_SUSPENDED);
}

// The tick counts on through sleep and wraps every 49.7 days: after a sleep of weeks the last
// input's tick may lie either side of the wake's, so only a tick other than the one at the
// wake says that there was input since.
static BOOL inputSinceWake(void)
{
    DWORD lastInput = 0;
    return readLastInput(lastInput) && lastInput != sleepHold.inputAtWake;
}

// Input is looked for only after a wake that brought nobody; a new suspend meanwhile is kept.
BOOL sleepHoldsPlayback(void)
{
    if (sleepHold.state == SLEEP_WOKE_UNATTENDED && inputSinceWake())
        (void)InterlockedCompareExchange(&sleepHold.state, SLEEP_NONE, SLEEP_WOKE_UNATTENDED);
    return sleepHold.state != SLEEP_NONE;
}
