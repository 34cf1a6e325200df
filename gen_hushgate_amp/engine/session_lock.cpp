// The lock term of the pause conditions. The session tells when it locks and unlocks; the
// desktop probe cannot tell a lock from a secure desktop the user is at (an elevation prompt,
// the Ctrl+Alt+Del screen), which a user's process cannot open either. So the notices decide
// wherever their registration holds, and the probe only where there is none. Followed on the
// player's thread, where the signal window gets the notices; read by both threads.
#include "engine/session_lock.h"

#include <wtsapi32.h>

#include "engine/settings_in_force.h"
#include "engine/wake_signals.h"
#include "plugin/plugin.h"

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

static FARPROC sessionLibraryExport(const char *name)
{
    HMODULE library = sessionLock.sessionLibrary;
    return library != NULL ? GetProcAddress(library, name) : NULL;
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

// Neither the session nor the desktop says a lock: the session cannot be asked, and the user's
// own desktop has the input.
static const LONG NO_WORD_OF_A_LOCK = -1;

// What the session says now, else the desktop probe.
static LONG lockFoundNow(void)
{
    // A switch that is off makes no call for its condition; turned on in the dialog later, the
    // user is at the screen, so the session is not locked then.
    SessionReport report = settingsInForce().isLock != 0 ? askTheSession() : SESSION_SAYS_UNLOCKED;
    if (report != SESSION_SAYS_NOTHING)
        return report == SESSION_SAYS_LOCKED ? SESSION_LOCKED : SESSION_UNLOCKED;
    return inputDesktopLocked() ? (LONG)SESSION_LOCKED_BY_THE_PROBE : NO_WORD_OF_A_LOCK;
}

static LONG lockIn(LONG state)
{
    return state & SESSION_LOCK_BITS;
}

// On the window's thread only, so that the count cannot be lost between the read and the write.
static void changeLockState(LONG lock)
{
    LONG state = sessionLock.state;
    ULONG counted = (ULONG)(state - lockIn(state)) + SESSION_NOTICE_COUNT_STEP;
    InterlockedExchange(&sessionLock.state, (LONG)(counted | (ULONG)lock));
}

// Called once the registration holds, before any notice it brings is handled (both come to
// the same thread): the state found then, once.
static void followSessionNotices(void)
{
    LONG state = lockFoundNow();
    changeLockState(state == NO_WORD_OF_A_LOCK ? (LONG)SESSION_UNLOCKED : state);
    InterlockedExchange(&sessionLock.disconnected, 0);
    InterlockedExchange(&sessionLock.followsNotices, 1);
}

static void stopFollowingSessionNotices(void)
{
    InterlockedExchange(&sessionLock.followsNotices, 0);
    changeLockState(SESSION_UNLOCKED);
    InterlockedExchange(&sessionLock.disconnected, 0);
}

static void noteSessionChange(WPARAM event)
{
    switch (event) {
    case WTS_SESSION_LOCK:
        changeLockState(SESSION_LOCKED);
        break;
    case WTS_SESSION_UNLOCK:
        changeLockState(SESSION_UNLOCKED);
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
static BOOL probedLockStillThere(LONG seen)
{
    if (inputDesktopLocked())
        return TRUE;
    (void)InterlockedCompareExchange(&sessionLock.state, seen - SESSION_LOCKED_BY_THE_PROBE, seen);
    return lockIn(sessionLock.state) != SESSION_UNLOCKED;
}

// Only ever adds a lock, and only where no notice came while the session was asked: one told
// already stays, and so does an unlock told meanwhile.
BOOL takeLockAtWake(void)
{
    // Without the notices the probe looks at every poll anyway.
    if (!sessionLock.followsNotices)
        return TRUE;
    LONG before = sessionLock.state;
    LONG found = lockFoundNow();
    if (found == NO_WORD_OF_A_LOCK)
        return FALSE;
    if (lockIn(before) == SESSION_UNLOCKED)
        (void)InterlockedCompareExchange(&sessionLock.state, before | found, before);
    return TRUE;
}

BOOL isWorkstationLocked(void)
{
    if (!sessionLock.followsNotices)
        return inputDesktopLocked();
    if (sessionLock.disconnected)
        return TRUE;
    LONG state = sessionLock.state;
    if (lockIn(state) == SESSION_LOCKED_BY_THE_PROBE)
        return probedLockStillThere(state);
    return lockIn(state) != SESSION_UNLOCKED;
}

// --- the registration, on the signal window's thread ------------------------------------------

static const DWORD NOTIFY_FOR_THIS_SESSION_ONLY = 0;

static BOOL registerForSessionNotices(void)
{
    HWND window = signalWindowHandle();
    if (sessionLock.registerSessionNotices == NULL || window == NULL)
        return FALSE;
    if (!sessionLock.registerSessionNotices(window, NOTIFY_FOR_THIS_SESSION_ONLY))
        return FALSE;
    sessionLock.sessionRegistered = 1;
    // From here on the notices decide the lock, starting from the state it is in now.
    followSessionNotices();
    return TRUE;
}

void stopSessionNoticesOnWindowThread(void)
{
    if (sessionLock.sessionRegistered && sessionLock.unregisterSessionNotices != NULL)
        (void)sessionLock.unregisterSessionNotices(signalWindowHandle());
    sessionLock.sessionRegistered = 0;
    stopFollowingSessionNotices();
}

// By its full path in the system folder: a bare name is looked for in the player's own folder
// first, where a file of that name would run inside the player.
static HMODULE loadSystemLibrary(const WCHAR *name)
{
    WCHAR path[MAX_PATH];
    UINT length = GetSystemDirectoryW(path, MAX_PATH);
    if (length == 0 || length + 1 + lstrlenW(name) >= MAX_PATH)
        return NULL;
    (void)lstrcatW(path, L"\\");
    (void)lstrcatW(path, name);
    return LoadLibraryW(path);
}

static void loadSessionLibrary(void)
{
    // Windows 2000 has wtsapi32 without these; then there are no session notices, only the poll.
    sessionLock.sessionLibrary = loadSystemLibrary(L"wtsapi32.dll");
    if (sessionLock.sessionLibrary == NULL)
        return;
    sessionLock.registerSessionNotices = (BOOL(WINAPI *)(HWND, DWORD))(void *)sessionLibraryExport(
        "WTSRegisterSessionNotification");
    sessionLock.unregisterSessionNotices =
        (BOOL(WINAPI *)(HWND))(void *)sessionLibraryExport("WTSUnRegisterSessionNotification");
    if (sessionLock.registerSessionNotices == NULL || sessionLock.unregisterSessionNotices == NULL) {
        sessionLock.registerSessionNotices = NULL;
        sessionLock.unregisterSessionNotices = NULL;
    }
}

static void unloadSessionLibrary(void)
{
    sessionLock.registerSessionNotices = NULL;
    sessionLock.unregisterSessionNotices = NULL;
    if (sessionLock.sessionLibrary != NULL)
        (void)FreeLibrary(sessionLock.sessionLibrary);
    sessionLock.sessionLibrary = NULL;
}

LRESULT sessionChangeSignal(WPARAM event, LPARAM)
{
    noteSessionChange(event);
    wakeWatchLoop();
    return 0;
}

LRESULT sessionRetrySignal(WPARAM, LPARAM)
{
    sessionLock.sessionRetryPending = 0;
    // The lock the session tells may differ from what the desktop probe told.
    if (registerForSessionNotices())
        wakeWatchLoop();
    return 0;
}

void startSessionNotices(void)
{
    loadSessionLibrary();
    (void)registerForSessionNotices();
}

// The window went (with its thread, or by our own hand): its registration went with it.
void forgetSessionNotices(void)
{
    sessionLock.sessionRegistered = 0;
    stopFollowingSessionNotices();
    unloadSessionLibrary();
}

void forgetSessionNoticeRetry(void)
{
    sessionLock.sessionRetryPending = 0;
}

void askForSessionNoticesAgain(void)
{
    if (sessionLock.sessionRegistered || sessionLock.registerSessionNotices == NULL || signalWindowHandle() == NULL)
        return;
    if (InterlockedExchange(&sessionLock.sessionRetryPending, 1) != 0)
        return;
    if (!postToSignalWindow(SIGNAL_RETRY_SESSION_NOTICES, 0))
        sessionLock.sessionRetryPending = 0;
}
