// The lock term of the pause conditions. The session tells when it locks and unlocks; the
// desktop probe cannot tell a lock from a secure desktop the user is at (an elevation prompt,
// the Ctrl+Alt+Del screen), which a user's process cannot open either. So the notices decide
// wherever their registration holds, and the probe only where there is none. Followed on the
// player's thread, where the signal window gets the notices; read by both threads.
#include "engine/session_lock.h"

#include <wtsapi32.h>

#include "engine/wake_signals.h"

SessionLock sessionLock;

// WTSINFOEXW up to the flags of its first level: a level number, then a union whose 64-bit
// times align it to 8 bytes.
struct SessionInfoEx {
    DWORD level;
    DWORD unionAlignment;
    ULONG sessionId;
    LONG connectState;
    LONG sessionFlags;
};
static_assert(sizeof(SessionInfoEx) == 20, "WTSINFOEXW prefix layout");

// Newer than the headers at hand: the extended session information of Windows 7.
static const int WTS_SESSION_INFO_EX = 25;
static const LONG SESSION_FLAGS_LOCKED = 0;
static const LONG SESSION_FLAGS_UNLOCKED = 1;

enum SessionReport { SESSION_SAYS_LOCKED, SESSION_SAYS_UNLOCKED, SESSION_SAYS_NOTHING };

typedef BOOL(WINAPI *QuerySessionInformation)(HANDLE, DWORD, int, LPWSTR *, DWORD *);
typedef void(WINAPI *FreeSessionMemory)(PVOID);

// Windows 7 and Server 2008 R2 report the lock flag the wrong way round. The version the
// process is told may be a compatibility mode's, so the system is recognised by what it has:
// the extended session information came with Windows 7, and Windows 8 added CreateFile2.
static BOOL lockFlagInverted(void)
{
    HMODULE kernel = GetModuleHandleA("kernel32.dll");
    return kernel != NULL && GetProcAddress(kernel, "CreateFile2") == NULL;
}

static SessionReport readSessionFlags(const SessionInfoEx *info, DWORD bytes)
{
    if (bytes < sizeof *info || info->level != 1)
        return SESSION_SAYS_NOTHING;
    LONG flags = info->sessionFlags;
    if (flags != SESSION_FLAGS_LOCKED && flags != SESSION_FLAGS_UNLOCKED)
        return SESSION_SAYS_NOTHING;
    BOOL locked = (flags == SESSION_FLAGS_LOCKED) != lockFlagInverted();
    return locked ? SESSION_SAYS_LOCKED : SESSION_SAYS_UNLOCKED;
}

// Decides the lock term only where the session's notices are not registered.
static BOOL inputDesktopLocked(void)
{
    // The desktop that has the input is probed, never "Default": switching to the desktop the
    // user is already on changes nothing, so a user on another desktop (a password manager's
    // secure prompt, a desktop-switching tool) is not pulled back. While the workstation is
    // locked the input desktop is Winlogon's, which a user's process can neither open for
    // switching nor switch to.
    HDESK input = OpenInputDesktop(0, FALSE, DESKTOP_SWITCHDESKTOP);
    if (input == NULL)
        return TRUE;
    BOOL locked = !SwitchDesktop(input);
    (void)CloseDesktop(input);
    return locked;
}

// Looked up at run time, like the notices: the DLL must load where wtsapi32 lacks them.
static SessionReport askTheSession(void)
{
    QuerySessionInformation query =
        (QuerySessionInformation)(void *)sessionLibraryExport("WTSQuerySessionInformationW");
    FreeSessionMemory release = (FreeSessionMemory)(void *)sessionLibraryExport("WTSFreeMemory");
    if (query == NULL || release == NULL)
        return SESSION_SAYS_NOTHING;
    LPWSTR buffer = NULL;
    DWORD bytes = 0;
    // Windows Vista and older know no extended information and fail.
    if (!query(WTS_CURRENT_SERVER_HANDLE, WTS_CURRENT_SESSION, WTS_SESSION_INFO_EX, &buffer, &bytes) || buffer == NULL)
        return SESSION_SAYS_NOTHING;
    SessionReport report = readSessionFlags((const SessionInfoEx *)buffer, bytes);
    release(buffer);
    return report;
}

// Called once the registration holds, before any notice it brings is handled (both come to
// the same thread): what the session says now, else the desktop probe, once.
void followSessionNotices(void)
{
    SessionReport report = askTheSession();
    LONG state = report == SESSION_SAYS_LOCKED ? SESSION_LOCKED : SESSION_UNLOCKED;
    if (report == SESSION_SAYS_NOTHING && inputDesktopLocked())
        state = SESSION_LOCKED_BY_THE_PROBE;
    InterlockedExchange(&sessionLock.state, state);
    InterlockedExchange(&sessionLock.disconnected, 0);
    InterlockedExchange(&sessionLock.followsNotices, 1);
}

void stopFollowingSessionNotices(void)
{
    InterlockedExchange(&sessionLock.followsNotices, 0);
    InterlockedExchange(&sessionLock.state, SESSION_UNLOCKED);
    InterlockedExchange(&sessionLock.disconnected, 0);
}

void noteSessionChange(WPARAM event)
{
    switch (event) {
    case WTS_SESSION_LOCK:
        InterlockedExchange(&sessionLock.state, SESSION_LOCKED);
        break;
    case WTS_SESSION_UNLOCK:
        InterlockedExchange(&sessionLock.state, SESSION_UNLOCKED);
        break;
    case WTS_CONSOLE_DISCONNECT:
    case WTS_REMOTE_DISCONNECT:
        InterlockedExchange(&sessionLock.disconnected, 1);
        break;
    case WTS_CONSOLE_CONNECT:
    case WTS_REMOTE_CONNECT:
        InterlockedExchange(&sessionLock.disconnected, 0);
        break;
    }
}

// A lock only the probe saw is looked at again at every poll, until the probe sees the desktop
// back or a notice tells; a notice that came meanwhile is never overwritten.
static BOOL probedLockStillThere(void)
{
    if (inputDesktopLocked())
        return TRUE;
    (void)InterlockedCompareExchange(&sessionLock.state, SESSION_UNLOCKED, SESSION_LOCKED_BY_THE_PROBE);
    return sessionLock.state != SESSION_UNLOCKED;
}

BOOL isWorkstationLocked(void)
{
    if (!sessionLock.followsNotices)
        return inputDesktopLocked();
    if (sessionLock.disconnected)
        return TRUE;
    if (sessionLock.state == SESSION_LOCKED_BY_THE_PROBE)
        return probedLockStillThere();
    return sessionLock.state != SESSION_UNLOCKED;
}
