// The floor every watcher stands on: the events that end the watch loop's wait, the hidden
// signal window of the player's thread and the handlers the conditions hook into it, and the
// mark that a callback of the platform may still come. Calls no condition: a notice travels up
// only as a wake and a flag of the room that received it.
#pragma once
#include <windows.h>

// What the conditions post to their own handlers through the window.
enum SignalMessage {
    SIGNAL_RETRY_SESSION_NOTICES = WM_APP + 1,
    SIGNAL_WAKE_WITH_USER = WM_APP + 4,
};
typedef LRESULT (*SignalHandler)(WPARAM wParam, LPARAM lParam);
struct SignalHook {
    UINT message;
    SignalHandler handler;
};

struct WakeSignals {
    HANDLE stopEvent;  // manual reset: set once by quit
    HANDLE wakeEvent;  // auto reset: something changed, poll now
    HWND window;       // hidden, top-level: session, power and mixer notices arrive here
    ATOM windowClass;
    // Set before the window exists, read by its thread: a table of the rooms above.
    const SignalHook *hooks;
    LONG hookCount;
    volatile LONG pollsStarted;
    volatile LONG pollsFinished;
    LONG windowDepth;                // frames of the window procedure on the player's thread
    LONG runDepth;                   // of which running work sent from another thread
    volatile LONG callbacksMayCome;  // an unregistration failed: the platform may still call us
};
extern WakeSignals wakeSignals;

// Ask the loop to poll now; safe from any thread, callbacks included.
void wakeWatchLoop(void);
// quit's request reaches the wait under way at once.
void wakeWatchLoopToStop(void);
// Made by init on the player's thread before the watch thread starts; undone by quit.
BOOL createWakeEvents(void);
void closeWakeEvents(void);
// The loop's wait: until the interval is up, a wake or the stop; FALSE when it could not wait
// (no events), and the loop must rest some other way.
BOOL waitForWake(DWORD intervalMs);
// The watch loop counts its polls, so that a wait can tell one began and ended after it.
inline void notePollStarted(void) { InterlockedIncrement(&wakeSignals.pollsStarted); }
inline void notePollFinished(void) { InterlockedIncrement(&wakeSignals.pollsFinished); }
inline LONG pollsStartedSoFar(void) { return wakeSignals.pollsStarted; }
inline BOOL pollFinishedSince(LONG startedBefore) { return wakeSignals.pollsFinished - startedBefore > 0; }
// An unregistration failed: the module must stay mapped, and the wake event open.
inline void noteCallbacksMayCome(void) { InterlockedExchange(&wakeSignals.callbacksMayCome, 1); }
inline BOOL callbacksMayStillCome(void) { return wakeSignals.callbacksMayCome != 0; }

// The handlers are hooked before the window is made; a message without one goes to the default.
void hookSignals(const SignalHook *hooks, LONG count);
BOOL createSignalWindow(void);
// Its own thread runs firstThere, then destroys it; FALSE when the window stays (its thread did
// not answer). The handlers go with the window.
BOOL destroySignalWindow(void (*firstThere)(void));
// The class goes after its last window; inside the window's own message the sender does it.
BOOL releaseSignalClass(void);
BOOL unregisterSignalClass(void);
// Where the mixer announces its changes; NULL before the window is open.
inline HWND signalWindowHandle(void) { return wakeSignals.window; }
BOOL postToSignalWindow(SignalMessage message, WPARAM wParam);
// Inside the window procedure on this thread: quit must not unmap the code under it.
inline BOOL signalWindowBusy(void) { return wakeSignals.windowDepth > 0; }
// Waits on the player's thread until the object is signalled or done() holds, at most limitMs,
// serving meanwhile the sends of the watch thread, which may be blocked on the player window.
BOOL waitServingSends(HANDLE object, DWORD limitMs, BOOL (*done)(void));
// Runs work on the thread of the signal window, the player's, from another thread. Not sent
// when there is no window or this is that thread; unanswered when it did not serve the send in
// time, and may still serve it later.
enum WindowThreadRun { RAN_THERE, NOT_SENT, UNANSWERED };
WindowThreadRun runOnSignalWindowThread(void (*work)(void), DWORD limitMs);
