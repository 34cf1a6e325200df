// What wakes the watch loop before its interval is up, and the hidden signal window of the
// player's thread where the session, power and mixer notices arrive. The events and the window
// are made by init and undone by quit; the Core Audio registrations belong to the watch thread,
// which makes and undoes them, so no interface pointer crosses threads.
#pragma once
#include <windows.h>

struct IMMDeviceEnumerator;
struct IAudioEndpointVolume;

struct WakeSignals {
    HANDLE stopEvent;  // manual reset: set once by quit
    HANDLE wakeEvent;  // auto reset: something changed, poll now
    HWND window;       // hidden, top-level: session, power and mixer notices arrive here
    ATOM windowClass;
    HMODULE sessionLibrary;  // wtsapi32, loaded at run time: Windows 2000 has no session notices
    BOOL(WINAPI *registerSessionNotices)(HWND, DWORD);
    BOOL(WINAPI *unregisterSessionNotices)(HWND);
    volatile LONG sessionRegistered;
    volatile LONG sessionRetryPending;  // a retry is posted to the window and not yet served
    volatile LONG pollsStarted;
    volatile LONG pollsFinished;
    volatile LONG defaultOutputMoved;  // set by the device notification client
    volatile LONG audioDevicesChanged;  // the same: a device came, went or changed its state
    LONG windowDepth;                  // frames of the window procedure on the player's thread
    LONG runDepth;                     // of which running work sent from another thread
    volatile LONG callbacksMayCome;    // an unregistration failed: the platform may still call us
    volatile LONG sessionNoticesStale;  // an endpoint or a session came or went: register afresh
    // The watch thread's own, kept for its whole life; the enumerator serves its polls too.
    IMMDeviceEnumerator *deviceEnumerator;
    volatile DWORD enumeratorThread;
    IAudioEndpointVolume *watchedSpeakers;
    BOOL deviceNoticesRegistered;
    BOOL sessionNoticesHold;  // the player's sessions are watched on every render endpoint
};
extern WakeSignals wakeSignals;

// Ask the loop to poll now; safe from any thread, callbacks included.
void wakeWatchLoop(void);
// Made by init on the player's thread before the watch thread starts; undone by quit.
BOOL createWakeEvents(void);
void closeWakeEvents(void);
void openSignalWindow(void);
// FALSE when the window, its class or a registration stays: the module must stay mapped.
// Run on the window's thread from runOnSignalWindowThread, it leaves the class to the sender.
BOOL closeSignalWindow(void);
BOOL unregisterSignalClass(void);
// Where the mixer announces its changes; NULL before the window is open.
HWND signalWindowHandle(void);
// An export of wtsapi32 where it was loaded, else NULL.
FARPROC sessionLibraryExport(const char *name);
// Waits on the player's thread until the object is signalled or done() holds, at most limitMs,
// serving meanwhile the sends of the watch thread, which may be blocked on the player window.
BOOL waitServingSends(HANDLE object, DWORD limitMs, BOOL (*done)(void));
// Runs work on the thread of the signal window, the player's, from another thread. Not sent
// when there is no window or this is that thread; unanswered when it did not serve the send in
// time, and may still serve it later.
enum WindowThreadRun { RAN_THERE, NOT_SENT, UNANSWERED };
WindowThreadRun runOnSignalWindowThread(void (*work)(void), DWORD limitMs);

// The watch thread's part: registrations it makes and undoes itself, and the retries of those
// that did not hold yet, run between polls.
void watchSignalsBegin(void);
void watchSignalsBetweenPolls(void);
void watchSignalsEnd(void);
// The watch thread's own enumerator, with a reference for the caller, when called on that
// thread; a new one on any other. Released by the caller either way.
IMMDeviceEnumerator *borrowDeviceEnumerator(void);
// The device notices hold and the player's sessions are watched: the output need not be looked
// up at every poll.
BOOL outputNoticesHold(void);
// A device came, went or changed since the last call, or no notice would say so.
BOOL takeAudioDevicesChanged(void);
