// The plug-in's life inside the player: init brings it up on the player's window thread,
// config shows the settings dialog, quit takes it down before the player unloads the module.
#include "plugin/plugin.h"
#include <stddef.h>

#include "engine/audio_platform.h"
#include "engine/master_mute.h"
#include "engine/output_device.h"
#include "engine/settings_in_force.h"
#include "engine/transport_filter.h"
#include "engine/wake_signals.h"
#include "engine/watch_build.h"
#include "engine/watch_loop.h"
#include "resources/resource.h"
#include "settings/settings.h"

static int init(void);
static void config(void);
static void quit(void);

PluginHeader pluginHeader;

// Filled when the player asks for it rather than at load: the module then has no writable data
// of its own to map. The player's own fields are left as it wrote them.
static const PluginHeader headerForPlayer = {PLUGIN_HEADER_VERSION, "Hushgate v1.0", init, config, quit, NULL, NULL};

PluginHeader *fillPluginHeader(void)
{
    CopyMemory(&pluginHeader, &headerForPlayer, offsetof(PluginHeader, hwndParent));
    return &pluginHeader;
}
PluginState pluginState;

// Past this the watch thread is stuck in a platform call; quit returns and leaves it be.
static const DWORD WATCH_THREAD_HARD_CAP_MS = 2000;
// A player's thread busy this long past the teardown's own limits is not coming: quit then
// tears down on its caller's thread.
static const DWORD TEAR_DOWN_HANDOVER_LIMIT_MS = WATCH_THREAD_HARD_CAP_MS + 2000;

static_assert(sizeof(OSVERSIONINFOA) == 148, "OSVERSIONINFOA layout");

// Keeps the module mapped for the life of the process: used when code of ours may still
// run after quit (a stuck watch thread, a filter we could not unhook, a frame on the stack).
static void pinModule(void)
{
    // A reference nobody releases keeps the module mapped on every Windows version (the pin
    // flag of GetModuleHandleEx would tie the DLL to XP and later). One is enough.
    if (pluginState.modulePinned)
        return;
    // Wide: a player folder named outside the ANSI code page has no ANSI path to load by.
    WCHAR path[MAX_PATH];
    DWORD length = GetModuleFileNameW(pluginHeader.hDllInstance, path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return;
    if (LoadLibraryW(path) != NULL)
        pluginState.modulePinned = 1;
}

static void recordOsVersion(void)
{
    OSVERSIONINFOA version = {};
    version.dwOSVersionInfoSize = sizeof version;
    (void)GetVersionExA(&version);
    pluginState.osMajorVersion = version.dwMajorVersion;
    pluginState.hasCoreAudio = systemHasCoreAudio();
}

static void setDefaultSettings(void)
{
    Settings defaults = {};
    defaults.isLock = 1;
    defaults.isScreenSave = 1;
    defaults.isMute = 1;
    defaults.checkTime = DEFAULT_CHECK_TIME;
    defaults.isDeviceLost = 1;
    defaults.isCall = 1;
    publishSettings(defaults, L"", FALSE);
}

static void installTransportFilter(void)
{
    // An earlier run in this process could not unhook (someone subclassed after us), so the
    // filter is still in the chain; subclassing again would make it call itself forever.
    if (pluginState.filterBypassed) {
        pluginState.filterBypassed = 0;
        return;
    }
    HWND player = pluginHeader.hwndParent;
    pluginState.previousWndProc = (WNDPROC)GetWindowLongA(player, GWL_WNDPROC);
    (void)SetWindowLongA(player, GWL_WNDPROC, (LONG)transportFilterProc);
}

static void removeTransportFilter(void)
{
    HWND player = pluginHeader.hwndParent;
    if ((WNDPROC)GetWindowLongA(player, GWL_WNDPROC) == transportFilterProc) {
        (void)SetWindowLongA(player, GWL_WNDPROC, (LONG)pluginState.previousWndProc);
        return;
    }
    if (!IsWindow(player))
        return;
    // A later subclass holds our filter as its previous procedure: putting ours back would cut
    // it out, and its own restore would then point at us. Stay in the chain, pass everything on.
    pluginState.filterBypassed = 1;
    pinModule();
}

static BOOL waitForWatchThread(void)
{
    if (pluginState.watchThread == NULL)
        return TRUE;
    return waitServingSends(pluginState.watchThread, WATCH_THREAD_HARD_CAP_MS, NULL);
}

// The lock lives as long as a watch thread may use it: a thread abandoned by quit keeps it.
static void prepareStopLock(void)
{
    if (pluginState.stopLockReady)
        return;
    InitializeCriticalSection(&pluginState.stopLock);
    pluginState.stopLockReady = 1;
}

static void deleteStopLock(void)
{
    DeleteCriticalSection(&pluginState.stopLock);
    pluginState.stopLockReady = 0;
}

static void closeWatchThread(void)
{
    CloseHandle(pluginState.watchThread);
    pluginState.watchThread = NULL;
}

// What the watch thread uses goes once it has ended: a thread abandoned by quit keeps it, the
// signal window included, whose handle it may still post to or hand to the mixer. FALSE when
// something of ours stays that the platform may still call into.
static BOOL releaseWatchThreadResources(void)
{
    deleteStopLock();
    closeWatchThread();
    return closeWatch();
}

// A quit that gave up left its thread inside a platform call, still owning the stop request
// and the lock: a second thread never starts beside it.
static BOOL previousWatchThreadEnded(void)
{
    if (pluginState.watchThread == NULL)
        return TRUE;
    if (!waitForWatchThread())
        return FALSE;
    // Its mixer still announces changes to the window of that earlier run: all goes afresh.
    if (!releaseWatchThreadResources())
        pinModule();
    return TRUE;
}

static int init(void)
{
    recordOsVersion();
    setDefaultSettings();
    loadSettings();
    installTransportFilter();
    if (!previousWatchThreadEnded())
        return 0;
    prepareStopLock();
    // A module kept loaded after an earlier quit starts as a freshly loaded one would.
    pluginState.stopRequested = 0;
    pluginState.issuingCommand = 0;
    pluginState.pausedByPlugin = NO_PAUSE_OF_OURS;
    // A release the filter handed to a thread that quit then gave up on is no command of now.
    forgetHandedOverRelease();
    // Safe on this thread: the last watch thread has ended, and released its jacks as it did.
    forgetOutputDevice();
    openWatch();
    pluginState.watchThread = CreateThread(NULL, 0, watchLoop, NULL, 0, &pluginState.watchThreadId);
    return 0;
}

static void config(void)
{
    // quit may be called while the dialog runs (the player closing under it); see quit.
    ++pluginState.dialogDepth;
    // Wide, so that its controls hold text outside the ANSI code page: the programs that are
    // never a call may be named so, and an ANSI edit box would turn them into question marks.
    (void)DialogBoxParamW(pluginHeader.hDllInstance, MAKEINTRESOURCEW(IDD_SETTINGS),
                          pluginHeader.hwndParent, settingsDialogProc, 0);
    --pluginState.dialogDepth;
}

static void requestStop(void)
{
    EnterCriticalSection(&pluginState.stopLock);
    pluginState.stopRequested = 1;
    LeaveCriticalSection(&pluginState.stopLock);
    // Ends the wait under way at once, whatever the interval.
    wakeWatchLoopToStop();
}

static void tearDown(void)
{
    // Whoever comes first, the player's thread serving the send or quit itself, does it once.
    if (InterlockedExchange(&pluginState.tearDownPending, 0) == 0)
        return;
    requestStop();
    // The watch thread undoes its own Core Audio registrations on its way out.
    BOOL threadEnded = waitForWatchThread();
    removeTransportFilter();
    // Under Wine a mixer call serves sent messages: one of ours may wait on this very stack,
    // holding the mixer, which then stays for the init that sees it free.
    BOOL insideMixerCall = mixerBusyOnThisThread();
    // A stuck thread keeps what it uses with the module; the init that sees it end releases it.
    BOOL nothingLeft = threadEnded && !insideMixerCall && releaseWatchThreadResources();
    // Returning from here into a frame of ours that the player unloads under us would crash it,
    // and so would a callback the platform still holds, or a window left to a thread that did
    // not answer.
    if (!nothingLeft || pluginState.filterDepth > 0 || pluginState.dialogDepth > 0 || signalWindowBusy() ||
        callbacksMayStillCome())
        pinModule();
}

// The teardown belongs to the player's thread, where the filter and the signal window run: a
// host that quits from a worker thread would otherwise race a message they are handling.
static void quit(void)
{
    pluginState.tearDownPending = 1;
    WindowThreadRun run = runOnSignalWindowThread(tearDown, TEAR_DOWN_HANDOVER_LIMIT_MS);
    if (run == RAN_THERE) {
        // The window is gone now that its message returned; the class can follow it.
        if (!unregisterSignalClass())
            pinModule();
        return;
    }
    tearDown();
    // The send may still be served once this has returned: it must find our code mapped.
    if (run == UNANSWERED)
        pinModule();
}
