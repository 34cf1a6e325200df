// The workstation lock as the session tells it: the session notices registered for the signal
// window on the player's thread, which follows them, and the lock asked by the pause conditions
// on both threads.
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
    SESSION_LOCK_BITS = 3,
    // Added by every change the notices make, above the lock's bits: what the session said when
    // asked at a wake never overwrites a notice handled while it was being asked.
    SESSION_NOTICE_COUNT_STEP = 4,
};
struct SessionLock {
    volatile LONG followsNotices;
    // One word, so that a notice, the probe's second look and the lock taken at a wake never
    // interleave: the lock in its low bits, the count of changes above them.
    volatile LONG state;
    // Nobody at this session's screen: a user switched away (Windows XP switches rather than
    // locks), or the remote client went without locking.
    volatile LONG disconnected;
    // The registration, made and undone on the window's thread.
    HMODULE sessionLibrary;  // wtsapi32, loaded at run time: Windows 2000 has no session notices
    BOOL(WINAPI *registerSessionNotices)(HWND, DWORD);
    BOOL(WINAPI *unregisterSessionNotices)(HWND);
    volatile LONG sessionRegistered;
    volatile LONG sessionRetryPending;  // a retry is posted to the window and not yet served
};
extern SessionLock sessionLock;

// The lock term: the session's notices where they are registered, else the desktop probe.
BOOL isWorkstationLocked(void);
// At a user's wake: a lock the session is in counts from now, though its notice may come only
// after the wake ("sign in on wake"). FALSE where neither the session nor the desktop says one
// (before Windows 7, the user's own desktop still up): one may still be told.
BOOL takeLockAtWake(void);
// The signal window's handlers of a session notice and of a retry of the registration.
LRESULT sessionChangeSignal(WPARAM event, LPARAM);
LRESULT sessionRetrySignal(WPARAM, LPARAM);
// Registered once the window is there; undone on the window's thread before it goes, and
// forgotten once it went.
void startSessionNotices(void);
void stopSessionNoticesOnWindowThread(void);
void forgetSessionNotices(void);
// A registration that failed because the session service was not ready yet is tried again
// after every poll, on the window's thread; a new window starts with no retry outstanding.
void askForSessionNoticesAgain(void);
void forgetSessionNoticeRetry(void);
