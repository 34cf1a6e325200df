// The workstation lock as the session tells it, followed by the signal window on the player's
// thread and asked by the pause conditions on both threads.
#pragma once
#include <windows.h>

// Where the session notices are registered they decide, from the state found when the
// registration first held on, so that a secure desktop with no lock (an elevation prompt, the
// Ctrl+Alt+Del screen) pauses nothing; elsewhere (Windows 2000, the session service not
// running) the desktop probe decides at every look.
enum {
    SESSION_UNLOCKED,
    SESSION_LOCKED,
    // The probe said locked when the notices took over: a secure desktop then (an elevation
    // prompt at logon) looks the same, and no unlock would ever come to end it.
    SESSION_LOCKED_BY_THE_PROBE,
};
struct SessionLock {
    volatile LONG followsNotices;
    volatile LONG state;  // one word, so that a notice and the probe's second look never interleave
    // Nobody at this session's screen: a user switched away (Windows XP switches rather than
    // locks), or the remote client went without locking.
    volatile LONG disconnected;
};
extern SessionLock sessionLock;

// The lock term: the session's notices where they are registered, else the desktop probe.
BOOL isWorkstationLocked(void);
// Called by the signal window: the registration just held, or it is undone; a session notice.
void followSessionNotices(void);
void stopFollowingSessionNotices(void);
void noteSessionChange(WPARAM event);
