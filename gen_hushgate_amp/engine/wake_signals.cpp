// What wakes the watch loop before its interval is up, and the hidden window of the player's
// thread where the session, power and mixer notices arrive. The rooms above hook their own
// handlers into the window and set the wake event; this floor knows none of them. The window
// belongs to the player's thread (init and quit); the events to the plug-in's whole life.
#include "engine/wake_signals.h"

#include "plugin/plugin.h"

WakeSignals wakeSignals;

static const char SIGNAL_WINDOW_CLASS[] = "HushgateSignals";
enum {
    WM_CLOSE_SIGNAL_WINDOW = WM_APP + 2,
    WM_RUN_ON_WINDOW_THREAD = WM_APP + 3,
};
// A window is destroyed only by its own thread: quit may come from another one, whose send
// waits this long for the player's thread to serve it.
static const UINT CLOSE_WINDOW_LIMIT_MS = 1000;
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

void wakeWatchLoopToStop(void)
{
    HANDLE stop = wakeSignals.stopEvent;
    if (stop != NULL)
        (void)SetEvent(stop);
}

BOOL waitForWake(DWORD intervalMs)
{
    HANDLE signals[2] = {wakeSignals.stopEvent, wakeSignals.wakeEvent};
    if (signals[0] == NULL || signals[1] == NULL)
        return FALSE;
    return WaitForMultipleObjects(2, signals, FALSE, intervalMs) != WAIT_FAILED;
}

// --- the signal window ---------------------------------------------------------------------------

void hookSignals(const SignalHook *hooks, LONG count)
{
    wakeSignals.hooks = hooks;
    wakeSignals.hookCount = count;
}

static SignalHandler handlerOf(UINT message)
{
    for (LONG i = 0; i < wakeSignals.hookCount; ++i) {
        if (wakeSignals.hooks[i].message == message)
            return wakeSignals.hooks[i].handler;
    }
    return NULL;
}

static LRESULT CALLBACK signalWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_CLOSE_SIGNAL_WINDOW:
        if (wParam != 0)
            ((void (*)(void))wParam)();
        (void)DestroyWindow(window);
        return 0;
    case WM_RUN_ON_WINDOW_THREAD:
        // The sender waits in its own frame until this returns: no frame of ours stays here.
        ++wakeSignals.runDepth;
        ((void (*)(void))wParam)();
        --wakeSignals.runDepth;
        return 0;
    }
    SignalHandler handler = handlerOf(message);
    if (handler == NULL)
        return DefWindowProcA(window, message, wParam, lParam);
    // quit looks at the depth: a handler may wait serving sends, and one of them may end in quit.
    ++wakeSignals.windowDepth;
    LRESULT result = handler(wParam, lParam);
    --wakeSignals.windowDepth;
    return result;
}

// Hidden and top-level, never message-only: broadcasts reach only top-level windows. A tool
// window, so that it has no taskbar button even if something showed it.
BOOL createSignalWindow(void)
{
    HINSTANCE module = pluginHeader.hDllInstance;
    WNDCLASSA windowClass = {};
    windowClass.lpfnWndProc = signalWindowProc;
    windowClass.hInstance = module;
    windowClass.lpszClassName = SIGNAL_WINDOW_CLASS;
    wakeSignals.windowClass = RegisterClassA(&windowClass);
    if (wakeSignals.windowClass == 0)
        return FALSE;
    wakeSignals.window = CreateWindowExA(WS_EX_TOOLWINDOW, SIGNAL_WINDOW_CLASS, "Hushgate", WS_POPUP, 0, 0, 0, 0,
                                         NULL, NULL, module, NULL);
    return wakeSignals.window != NULL;
}

// The window's thread destroys it, whichever thread quits; a thread that does not answer keeps
// its window, and with it the class.
BOOL destroySignalWindow(void (*firstThere)(void))
{
    HWND window = wakeSignals.window;
    if (window != NULL) {
        DWORD_PTR ignored = 0;
        (void)SendMessageTimeoutA(window, WM_CLOSE_SIGNAL_WINDOW, (WPARAM)firstThere, 0, SMTO_NORMAL,
                                  CLOSE_WINDOW_LIMIT_MS, &ignored);
        // A window whose thread has ended went with it.
        if (IsWindow(window))
            return FALSE;
        wakeSignals.window = NULL;
    }
    hookSignals(NULL, 0);
    return TRUE;
}

BOOL postToSignalWindow(SignalMessage message, WPARAM wParam)
{
    HWND window = wakeSignals.window;
    return window != NULL && PostMessageA(window, message, wParam, 0);
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

// Inside the window's own message the system still holds the window it destroyed, and with it
// the class, until the message returns: the sender unregisters the class after that.
BOOL releaseSignalClass(void)
{
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
