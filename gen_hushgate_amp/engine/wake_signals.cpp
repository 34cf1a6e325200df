// What wakes the watch loop before its interval is up: the session's lock notices and the
// power broadcasts at a hidden window of the plug-in's own, the mixer's change notices at the
// same window, and Core Audio's notices of the speakers' mute and of the output devices. The
// poll stays the truth: every signal only asks for a poll now. The window belongs to the
// player's thread (init and quit); the Core Audio registrations to the watch thread.
#include <objbase.h>

#include <endpointvolume.h>
#include <mmdeviceapi.h>

#include "engine/wake_signals.h"

#include "engine/call_capture.h"
#include "engine/endpoint_mute.h"
#include "engine/master_mute.h"
#include "engine/output_device.h"
#include "engine/player_sessions.h"
#include "engine/session_lock.h"
#include "engine/sleep_hold.h"
#include "engine/static_notices.h"
#include "plugin/plugin.h"

WakeSignals wakeSignals;

static const char SIGNAL_WINDOW_CLASS[] = "HushgateSignals";
static const DWORD NOTIFY_FOR_THIS_SESSION_ONLY = 0;
enum { WM_RETRY_SESSION_NOTICES = WM_APP + 1, WM_CLOSE_SIGNAL_WINDOW = WM_APP + 2, WM_RUN_ON_WINDOW_THREAD = WM_APP + 3 };
// A window is destroyed only by its own thread: quit may come from another one, whose send
// waits this long for the player's thread to serve it.
static const UINT CLOSE_WINDOW_LIMIT_MS = 1000;
// The system waits about two seconds for the answer to its suspend broadcast.
static const DWORD SUSPEND_PAUSE_LIMIT_MS = 1000;
static const DWORD DONE_CHECK_MS = 10;

static void serveSentMessages(void)
{
    MSG message;
    (void)PeekMessageA(&message, NULL, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
}

// Sends are served before every wait, because a send the host has already looked at
// (GetQueueStatus, a peek) no longer wakes MsgWaitForMultipleObjects.
BOOL waitServingSends(HANDLE object, DWORD limitMs, BOOL (*done)(void))
{
    DWORD start = GetTickCount();
    for (;;) {
        serveSentMessages();
        if (object != NULL && WaitForSingleObject(object, 0) == WAIT_OBJECT_0)
            return TRUE;
        if (done != NULL && done())
            return TRUE;
        DWORD elapsed = GetTickCount() - start;
        if (elapsed >= limitMs)
            return FALSE;
        DWORD slice = limitMs - elapsed;
        if (done != NULL && slice > DONE_CHECK_MS)
            slice = DONE_CHECK_MS;
        (void)MsgWaitForMultipleObjects(object != NULL ? 1 : 0, &object, FALSE, slice, QS_SENDMESSAGE);
    }
}

// --- the events the loop waits on -----------------------------------------------------------

static void closeEvent(HANDLE &event)
{
    if (event != NULL)
        (void)CloseHandle(event);
    event = NULL;
}

// Once an unregistration failed, a Core Audio callback may still set the wake event at any
// time: it stays open for the life of the process, and the next init takes it over.
void closeWakeEvents(void)
{
    closeEvent(wakeSignals.stopEvent);
    if (!wakeSignals.callbacksMayCome)
        closeEvent(wakeSignals.wakeEvent);
}

// An earlier quit that gave up on its thread left them to that thread; a later init that saw
// the thread end takes them over.
BOOL createWakeEvents(void)
{
    if (wakeSignals.stopEvent == NULL)
        wakeSignals.stopEvent = CreateEventA(NULL, TRUE, FALSE, NULL);
    if (wakeSignals.wakeEvent == NULL)
        wakeSignals.wakeEvent = CreateEventA(NULL, FALSE, FALSE, NULL);
    // Half a pair is no pair: the loop then rests in slices, as it would without signals.
    if (wakeSignals.stopEvent == NULL || wakeSignals.wakeEvent == NULL) {
        closeWakeEvents();
        return FALSE;
    }
    (void)ResetEvent(wakeSignals.stopEvent);
    (void)ResetEvent(wakeSignals.wakeEvent);
    return TRUE;
}

void wakeWatchLoop(void)
{
    HANDLE wake = wakeSignals.wakeEvent;
    if (wake != NULL)
        (void)SetEvent(wake);
}

// --- the signal window: session, power and mixer notices -----------------------------------

static BOOL registerForSessionNotices(void)
{
    if (wakeSignals.registerSessionNotices == NULL || wakeSignals.window == NULL)
        return FALSE;
    if (!wakeSignals.registerSessionNotices(wakeSignals.window, NOTIFY_FOR_THIS_SESSION_ONLY))
        return FALSE;
    wakeSignals.sessionRegistered = 1;
    // From here on the notices decide the lock, starting from the state it is in now.
    followSessionNotices();
    return TRUE;
}

// On the window's own thread, which registered it: before the window goes.
static void unregisterSessionNotices(void)
{
    if (wakeSignals.sessionRegistered && wakeSignals.unregisterSessionNotices != NULL)
        (void)wakeSignals.unregisterSessionNotices(wakeSignals.window);
    wakeSignals.sessionRegistered = 0;
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
    wakeSignals.sessionLibrary = loadSystemLibrary(L"wtsapi32.dll");
    if (wakeSignals.sessionLibrary == NULL)
        return;
    wakeSignals.registerSessionNotices = (BOOL(WINAPI *)(HWND, DWORD))(void *)GetProcAddress(
        wakeSignals.sessionLibrary, "WTSRegisterSessionNotification");
    wakeSignals.unregisterSessionNotices =
        (BOOL(WINAPI *)(HWND))(void *)GetProcAddress(wakeSignals.sessionLibrary, "WTSUnRegisterSessionNotification");
    if (wakeSignals.registerSessionNotices == NULL || wakeSignals.unregisterSessionNotices == NULL) {
        wakeSignals.registerSessionNotices = NULL;
        wakeSignals.unregisterSessionNotices = NULL;
    }
}

static void unloadSessionLibrary(void)
{
    wakeSignals.registerSessionNotices = NULL;
    wakeSignals.unregisterSessionNotices = NULL;
    if (wakeSignals.sessionLibrary != NULL)
        (void)FreeLibrary(wakeSignals.sessionLibrary);
    wakeSignals.sessionLibrary = NULL;
}

static LONG pollsStartedAtSuspend;

static BOOL suspendPollFinished(void)
{
    return wakeSignals.pollsFinished - pollsStartedAtSuspend > 0;
}

// The machine sleeps once every window has answered: the answer waits, serving the watch
// thread's sends to the player, until a poll that began after this notice has paused it.
static void holdForSleep(void)
{
    if (pluginState.settings.isLock == 0)
        return;
    pollsStartedAtSuspend = wakeSignals.pollsStarted;
    beginSleepHold();
    wakeWatchLoop();
    // Inside a mixer call of this thread the poll could not read the mute until we return.
    if (pluginState.watchThread != NULL && !mixerBusyOnThisThread())
        (void)waitServingSends(NULL, SUSPEND_PAUSE_LIMIT_MS, suspendPollFinished);
}

static void onPowerBroadcast(WPARAM event)
{
    switch (event) {
    case PBT_APMSUSPEND:
        holdForSleep();
        break;
    case PBT_APMRESUMESUSPEND:
        // Sent only once a user is there. The hold stays while the workstation that locked for
        // the sleep is still locked.
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
}

static LRESULT CALLBACK signalWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case MM_MIXM_CONTROL_CHANGE:
        // The player's own volume steps come here too: only the mute is worth a poll.
        if (isMasterMuteControl((DWORD)lParam))
            wakeWatchLoop();
        return 0;
    case WM_WTSSESSION_CHANGE:
        noteSessionChange(wParam);
        wakeWatchLoop();
        return 0;
    case MM_MIXM_LINE_CHANGE:
        wakeWatchLoop();
        return 0;
    case WM_POWERBROADCAST:
        // quit looks at the depth: the wait below serves sends, and one of them may end in quit.
        ++wakeSignals.windowDepth;
        onPowerBroadcast(wParam);
        --wakeSignals.windowDepth;
        return TRUE;
    case WM_RETRY_SESSION_NOTICES:
        wakeSignals.sessionRetryPending = 0;
        // The lock the session tells may differ from what the desktop probe told.
        if (registerForSessionNotices())
            wakeWatchLoop();
        return 0;
    case WM_CLOSE_SIGNAL_WINDOW:
        unregisterSessionNotices();
        (void)DestroyWindow(window);
        return 0;
    case WM_RUN_ON_WINDOW_THREAD:
        // The sender waits in its own frame until this returns: no frame of ours stays here.
        ++wakeSignals.runDepth;
        ((void (*)(void))wParam)();
        --wakeSignals.runDepth;
        return 0;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

// Hidden and top-level, never message-only: broadcasts reach only top-level windows. A tool
// window, so that it has no taskbar button even if something showed it.
void openSignalWindow(void)
{
    endSleepHold();
    wakeSignals.sessionRetryPending = 0;
    // What a quit left because the window's thread did not answer goes now if it can; a window
    // still alive stays in use, its procedure kept mapped by the pin that quit took.
    if (!closeSignalWindow())
        return;
    HINSTANCE module = pluginHeader.hDllInstance;
    WNDCLASSA windowClass = {};
    windowClass.lpfnWndProc = signalWindowProc;
    windowClass.hInstance = module;
    windowClass.lpszClassName = SIGNAL_WINDOW_CLASS;
    wakeSignals.windowClass = RegisterClassA(&windowClass);
    if (wakeSignals.windowClass == 0)
        return;
    wakeSignals.window = CreateWindowExA(WS_EX_TOOLWINDOW, SIGNAL_WINDOW_CLASS, "Hushgate", WS_POPUP, 0, 0, 0, 0,
                                         NULL, NULL, module, NULL);
    if (wakeSignals.window == NULL) {
        (void)closeSignalWindow();
        return;
    }
    loadSessionLibrary();
    (void)registerForSessionNotices();
}

// The window's thread unregisters and destroys it, whichever thread quits; a thread that does
// not answer keeps its window, and with it the class and the library.
static BOOL destroySignalWindow(void)
{
    HWND window = wakeSignals.window;
    if (window == NULL)
        return TRUE;
    DWORD_PTR ignored = 0;
    (void)SendMessageTimeoutA(window, WM_CLOSE_SIGNAL_WINDOW, 0, 0, SMTO_NORMAL, CLOSE_WINDOW_LIMIT_MS, &ignored);
    // A window whose thread has ended went with it.
    if (IsWindow(window))
        return FALSE;
    wakeSignals.window = NULL;
    wakeSignals.sessionRegistered = 0;
    stopFollowingSessionNotices();
    return TRUE;
}

HWND signalWindowHandle(void)
{
    return wakeSignals.window;
}

FARPROC sessionLibraryExport(const char *name)
{
    HMODULE library = wakeSignals.sessionLibrary;
    return library != NULL ? GetProcAddress(library, name) : NULL;
}

WindowThreadRun runOnSignalWindowThread(void (*work)(void), DWORD limitMs)
{
    HWND window = wakeSignals.window;
    if (window == NULL || GetWindowThreadProcessId(window, NULL) == GetCurrentThreadId())
        return NOT_SENT;
    DWORD_PTR ignored = 0;
    if (SendMessageTimeoutA(window, WM_RUN_ON_WINDOW_THREAD, (WPARAM)work, 0, SMTO_NORMAL, limitMs, &ignored))
        return RAN_THERE;
    return UNANSWERED;
}

// The class goes after its last window, so that the next load in this process registers it
// afresh. FALSE when something of ours stays: the module must then stay mapped under it.
BOOL closeSignalWindow(void)
{
    if (!destroySignalWindow())
        return FALSE;
    unloadSessionLibrary();
    // Inside the window's own message the system still holds the window it destroyed, and with
    // it the class, until the message returns: the sender unregisters the class after that.
    if (wakeSignals.runDepth > 0)
        return TRUE;
    return unregisterSignalClass();
}

BOOL unregisterSignalClass(void)
{
    if (wakeSignals.windowClass != 0 && !UnregisterClassA(SIGNAL_WINDOW_CLASS, pluginHeader.hDllInstance))
        return FALSE;
    wakeSignals.windowClass = 0;
    return TRUE;
}

// A registration that failed because the session service was not ready yet (a player started
// at logon) is tried again after every poll until it holds, on the window's own thread.
static void askForSessionNoticesAgain(void)
{
    if (wakeSignals.sessionRegistered || wakeSignals.registerSessionNotices == NULL || wakeSignals.window == NULL)
        return;
    if (InterlockedExchange(&wakeSignals.sessionRetryPending, 1) != 0)
        return;
    if (!PostMessageA(wakeSignals.window, WM_RETRY_SESSION_NOTICES, 0, 0))
        wakeSignals.sessionRetryPending = 0;
}

// --- Core Audio notices, on the watch thread -------------------------------------------------

// The platform holds these two for as long as they are registered; every method only signals
// and returns.
struct DeviceNotices : StaticNotices<IMMNotificationClient> {
    HRESULT STDMETHODCALLTYPE OnDeviceStateChanged(LPCWSTR, DWORD) override { return endpointsChanged(); }
    HRESULT STDMETHODCALLTYPE OnDeviceAdded(LPCWSTR) override { return endpointsChanged(); }
    HRESULT STDMETHODCALLTYPE OnDeviceRemoved(LPCWSTR) override { return endpointsChanged(); }
    HRESULT STDMETHODCALLTYPE OnDefaultDeviceChanged(EDataFlow flow, ERole role, LPCWSTR) override
    {
        if (flow != eRender || role != eConsole)
            return S_OK;
        // The watch thread moves its mute registration to the new default between two polls.
        wakeSignals.defaultOutputMoved = 1;
        wantOutputLookup();
        wakeWatchLoop();
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE OnPropertyValueChanged(LPCWSTR, const PROPERTYKEY) override { return S_OK; }
    // The sessions are watched afresh on the endpoints there are now (the player's, and the
    // microphones' at the next poll), and the output looked up.
    static HRESULT endpointsChanged(void)
    {
        wakeSignals.sessionNoticesStale = 1;
        wakeSignals.audioDevicesChanged = 1;
        wantOutputLookup();
        wakeWatchLoop();
        return S_OK;
    }
};

struct SpeakerNotices : StaticNotices<IAudioEndpointVolumeCallback> {
    volatile LONG lastMute = -1;
    HRESULT STDMETHODCALLTYPE OnNotify(PAUDIO_VOLUME_NOTIFICATION_DATA data) override
    {
        // Dragging the volume sends a stream of notices: only a change of the mute wakes the loop.
        LONG muted = data != NULL && data->bMuted ? 1 : 0;
        if (InterlockedExchange(&lastMute, muted) != muted)
            wakeWatchLoop();
        return S_OK;
    }
};

static DeviceNotices deviceNotices;
static SpeakerNotices speakerNotices;

IMMDeviceEnumerator *borrowDeviceEnumerator(void)
{
    IMMDeviceEnumerator *kept = wakeSignals.enumeratorThread == GetCurrentThreadId() ? wakeSignals.deviceEnumerator : NULL;
    if (kept == NULL)
        return createDeviceEnumerator();
    kept->AddRef();
    return kept;
}

BOOL outputNoticesHold(void)
{
    return wakeSignals.deviceNoticesRegistered && wakeSignals.sessionNoticesHold;
}

BOOL takeAudioDevicesChanged(void)
{
    BOOL announced = InterlockedExchange(&wakeSignals.audioDevicesChanged, 0) != 0;
    return announced || !wakeSignals.deviceNoticesRegistered;
}

static void attachDeviceNotices(void)
{
    if (wakeSignals.deviceEnumerator == NULL) {
        wakeSignals.deviceEnumerator = createDeviceEnumerator();
        wakeSignals.enumeratorThread = GetCurrentThreadId();
    }
    IMMDeviceEnumerator *enumerator = wakeSignals.deviceEnumerator;
    if (enumerator == NULL || wakeSignals.deviceNoticesRegistered)
        return;
    wakeSignals.deviceNoticesRegistered = SUCCEEDED(enumerator->RegisterEndpointNotificationCallback(&deviceNotices));
}

static void attachSpeakerNotices(void)
{
    IMMDeviceEnumerator *enumerator = wakeSignals.deviceEnumerator;
    if (enumerator == NULL || wakeSignals.watchedSpeakers != NULL)
        return;
    IAudioEndpointVolume *speakers = activateDefaultSpeakers(enumerator);
    if (speakers == NULL)
        return;
    speakerNotices.lastMute = -1;
    if (FAILED(speakers->RegisterControlChangeNotify(&speakerNotices))) {
        speakers->Release();
        return;
    }
    wakeSignals.watchedSpeakers = speakers;
}

static void detachSpeakerNotices(void)
{
    IAudioEndpointVolume *speakers = wakeSignals.watchedSpeakers;
    if (speakers == NULL)
        return;
    if (FAILED(speakers->UnregisterControlChangeNotify(&speakerNotices)))
        wakeSignals.callbacksMayCome = 1;
    speakers->Release();
    wakeSignals.watchedSpeakers = NULL;
}

// The player's sessions are watched on the endpoints there are now: again whenever an endpoint
// or a session came or went, and at every pause between polls while the watch is incomplete.
// A notice that asked for it has had its poll already: the poll that follows looks up the
// output with the registrations in place, so that no change slips between the two.
static void keepWatchingPlayerSessions(void)
{
    BOOL noticed = InterlockedExchange(&wakeSignals.sessionNoticesStale, 0) != 0;
    if (!noticed && wakeSignals.sessionNoticesHold)
        return;
    watchPlayerSessions();
    if (!noticed)
        return;
    wantOutputLookup();
    wakeWatchLoop();
}

void watchSignalsBegin(void)
{
    wakeSignals.defaultOutputMoved = 0;
    wakeSignals.sessionNoticesStale = 0;
    wakeSignals.audioDevicesChanged = 0;
    if (!pluginState.hasCoreAudio)
        return;
    attachDeviceNotices();
    attachSpeakerNotices();
    watchPlayerSessions();
}

// What failed to register (no device yet, the audio service not started) is tried again.
void watchSignalsBetweenPolls(void)
{
    askForSessionNoticesAgain();
    if (!pluginState.hasCoreAudio)
        return;
    if (InterlockedExchange(&wakeSignals.defaultOutputMoved, 0) != 0)
        detachSpeakerNotices();
    attachDeviceNotices();
    attachSpeakerNotices();
    keepWatchingPlayerSessions();
}

void watchSignalsEnd(void)
{
    stopFollowingCalls();
    unwatchPlayerSessions();
    detachSpeakerNotices();
    IMMDeviceEnumerator *enumerator = wakeSignals.deviceEnumerator;
    if (enumerator == NULL)
        return;
    if (wakeSignals.deviceNoticesRegistered && FAILED(enumerator->UnregisterEndpointNotificationCallback(&deviceNotices)))
        wakeSignals.callbacksMayCome = 1;
    wakeSignals.deviceNoticesRegistered = FALSE;
    wakeSignals.enumeratorThread = 0;
    enumerator->Release();
    wakeSignals.deviceEnumerator = NULL;
}
