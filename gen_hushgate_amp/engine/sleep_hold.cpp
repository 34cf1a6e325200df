// The sleep hold: the music stays paused from the suspend broadcast until the machine has woken
// with a user at it. A wake timer, Wake-on-LAN or maintenance wakes it with nobody there and
// Windows then sends PBT_APMRESUMEAUTOMATIC alone; PBT_APMRESUMESUSPEND follows only once there
// was input. Input seen after the wake ends the hold too, should that broadcast be missed.
// Either wake with a user ends it into the lock the session is in, told or not yet told.
// Moved on by the power broadcasts at the signal window on the player's thread; asked by the
// pause conditions.
#include "engine/sleep_hold.h"

#include "engine/master_mute.h"
#include "engine/session_lock.h"
#include "engine/settings_in_force.h"
#include "engine/wake_signals.h"
#include "plugin/plugin.h"

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

// With "sign in on wake" the session locks for the sleep but is reported to post its lock only
// after the user's resume: the wake takes the lock the session is in (as it says it from Windows 7
// on, else as the desktop shows it), and where neither says one the hold waits this long for it.
static const DWORD LOCK_AFTER_WAKE_WAIT_MS = 1000;

// The end of the wait is in place before the state that makes it read.
static void wakeWithUser(LONG held)
{
    sleepHold.lockWaitEnds = GetTickCount() + LOCK_AFTER_WAKE_WAIT_MS;
    (void)InterlockedCompareExchange(&sleepHold.state, takeLockAtWake() ? SLEEP_NONE : SLEEP_WAKING, held);
}

DWORD sleepHoldDueIn(void)
{
    if (sleepHold.state != SLEEP_WAKING)
        return INFINITE;
    LONG left = (LONG)(sleepHold.lockWaitEnds - GetTickCount());
    if (left > 0)
        return (DWORD)left;
    // Over however the polls went (the player stopped, the lock switch off): one poll more for
    // it, then none.
    (void)InterlockedCompareExchange(&sleepHold.state, SLEEP_NONE, SLEEP_WAKING);
    return 0;
}

void noteWake(BOOL userPresent)
{
    LONG held = sleepHold.state;
    if (userPresent) {
        if (held != SLEEP_NONE)
            wakeWithUser(held);
        return;
    }
    // Only the wake that ends a sleep marks it: a second automatic resume (Windows may send
    // one more) must not hide the input made since the first. The mark is in place before the
    // state that makes the poll read it.
    DWORD lastInput = 0;
    if (held != SLEEP_SUSPENDED || !readLastInput(lastInput))
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
// The wait after a user's wake ends at the first look once its time is up.
BOOL sleepHoldsPlayback(void)
{
    LONG held = sleepHold.state;
    if (held == SLEEP_WOKE_UNATTENDED && inputSinceWake())
        wakeWithUser(held);
    (void)sleepHoldDueIn();
    return sleepHold.state != SLEEP_NONE;
}

// --- the power broadcasts, on the signal window's thread ---------------------------------------

// The system waits about two seconds for the answer to its suspend broadcast.
static const DWORD SUSPEND_PAUSE_LIMIT_MS = 1000;

static LONG pollsStartedAtSuspend;

static BOOL suspendPollFinished(void)
{
    return pollFinishedSince(pollsStartedAtSuspend);
}

// The machine sleeps once every window has answered: the answer waits, serving the watch
// thread's sends to the player, until a poll that began after this notice has paused it.
static void holdForSleep(void)
{
    if (settingsInForce().isLock == 0)
        return;
    pollsStartedAtSuspend = pollsStartedSoFar();
    beginSleepHold();
    wakeWatchLoop();
    // Inside a mixer call of this thread the poll could not read the mute until we return.
    if (pluginState.watchThread != NULL && !mixerBusyOnThisThread())
        (void)waitServingSends(NULL, SUSPEND_PAUSE_LIMIT_MS, suspendPollFinished);
}

static BOOL postedMessagesWait(void)
{
    return (HIWORD(GetQueueStatus(QS_POSTMESSAGE)) & QS_POSTMESSAGE) != 0;
}

LRESULT powerBroadcastSignal(WPARAM event, LPARAM)
{
    switch (event) {
    case PBT_APMSUSPEND:
        holdForSleep();
        break;
    case PBT_APMRESUMESUSPEND:
        // Sent only once a user is there. The hold stays while the workstation that locked for
        // the sleep is still locked: Windows sends this broadcast but posts the session's
        // notices, so a lock posted as the machine went to sleep may still wait in this
        // thread's queue. The wake then counts behind it; with nothing queued, at once.
        if (postedMessagesWait() && postToSignalWindow(SIGNAL_WAKE_WITH_USER, (WPARAM)sleepsHeld()))
            break;
        noteWake(TRUE);
        wakeWatchLoop();
        break;
    case PBT_APMRESUMEAUTOMATIC:
    case PBT_APMRESUMECRITICAL:
        // Every wake, with nobody there as well: only a poll, which looks for input since.
        noteWake(FALSE);
        wakeWatchLoop();
        break;
    }
    return TRUE;
}

LRESULT wakeWithUserSignal(WPARAM sleep, LPARAM)
{
    if (sleepsHeld() == (LONG)sleep)
        noteWake(TRUE);
    wakeWatchLoop();
    return 0;
}
