// The pause engine: the watch thread, the pause conditions with the master mute switch, the
// signals that wake the loop, and the filter on the player window. Called by the plug-in's
// lifecycle.
#pragma once
#include <windows.h>
#include <mmsystem.h>

struct IMMDeviceEnumerator;
struct IMMDevice;
struct IAudioEndpointVolume;
struct IAudioSessionManager2;
struct IAudioSessionControl;
struct IAudioSessionControl2;

// Both threads use it, always under mixerLock: open, locate, read, write and release never
// interleave, so a located control always belongs to the open mixer beside it.
struct MasterMute {
    HMIXER mixerHandle;
    DWORD muteControlId;
    MIXERCAPSA mixerCaps;
    CRITICAL_SECTION mixerLock;
    LONG mixerLockReady;  // initialised, and not yet deleted by a quit whose thread ended
    volatile DWORD mixerLockOwner;  // the thread inside, 0 when none
    LONG mixerLockDepth;            // written only by that thread
    // The user started the music while the watch thread held the lock (a slow driver call): the
    // release of the mute is the watch thread's to make, before its next poll decides.
    volatile LONG releaseHandedOver;
};
extern MasterMute masterMute;

enum { SESSION_ENDPOINT_CAPACITY = 16, PLAYER_SESSION_CAPACITY = 8 };

// What wakes the watch loop before its interval is up. The events and the window belong to
// the player's thread (made in init, undone in quit); the Core Audio registrations belong to
// the watch thread, which makes and undoes them, so no interface pointer crosses threads.
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
    // Registered for new sessions on every render endpoint that can list its sessions, and for
    // the state of each session of the player's own; a full table leaves the lookups to the poll.
    IAudioSessionManager2 *sessionManagers[SESSION_ENDPOINT_CAPACITY];
    IAudioSessionControl *playerSessions[PLAYER_SESSION_CAPACITY];
    BOOL sessionNoticesHold;
};
extern WakeSignals wakeSignals;

// The workstation lock as the session tells it. Where the session notices are registered they
// decide, from the state found when the registration first held on, so that a secure desktop
// with no lock (an elevation prompt, the Ctrl+Alt+Del screen) pauses nothing; elsewhere
// (Windows 2000, the session service not running) the desktop probe decides at every look.
// Written on the player's thread by the signal window, read by both threads.
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

// From the suspend broadcast until a wake with a user at the machine. Written by the signal
// window; the poll that sees input after an unattended wake ends it too.
enum { SLEEP_NONE, SLEEP_SUSPENDED, SLEEP_WOKE_UNATTENDED };
struct SleepHold {
    volatile LONG state;
    volatile DWORD wokeAt;  // the tick of the wake that brought no user
};
extern SleepHold sleepHold;

enum { DEVICE_ID_CAPACITY = 256 };

enum OutputSource { OUTPUT_NOT_LOOKED_UP, OUTPUT_NOTHING, OUTPUT_FROM_PLAYER_SESSION, OUTPUT_FROM_DEFAULT };

// The render device the music plays on: the endpoint that holds the player's own active audio
// session, else the default render device. Looked up when the music starts and after a device
// or session notice; kept while the player plays and while the plug-in holds a pause of its
// own, forgotten otherwise. Only the thread that polls touches it; the notices only raise
// lookupWanted.
struct OutputDevice {
    WCHAR playedOn[DEVICE_ID_CAPACITY];
    LONG source;
    volatile LONG lookupWanted;
};
extern OutputDevice outputDevice;

// A call: another program capturing from a microphone. The rule follows each program that
// captures, by process; only the watch thread writes here, and shouldHoldPlayback reads the
// hold on either thread.
enum { MAX_CALLERS = 16 };
struct Caller {
    DWORD processId;  // 0: a free slot
    BOOL capturing;
    DWORD capturingSince;  // ticks, the start of the capture under way
    DWORD stoppedAt;       // ticks, the end of the last one
    BOOL excused;          // running when the music started: holds nothing until it ends
};
struct CallCapture {
    Caller callers[MAX_CALLERS];
    BOOL sawPlaying;    // the last poll found the player playing
    BOOL loopResumed;   // the loop sent its own resume since the last poll: no start of the user's
    volatile LONG holding;
};
extern CallCapture callCapture;

// The capture devices and their audio sessions, watched by the watch thread alone: a fixed
// table of each, every entry registered for its notices and unregistered before it goes.
enum { MAX_CAPTURE_DEVICES = 8, MAX_CAPTURE_SESSIONS = 32 };
struct CaptureDevice {
    BOOL present;
    BOOL listed;  // in the latest listing of the devices
    WCHAR id[DEVICE_ID_CAPACITY];
    IAudioSessionManager2 *manager;  // NULL where the system has no session interfaces (Vista)
    BOOL creationNoticed;            // its new-session notices are registered
    BOOL blind;                      // it lists no sessions: nothing to see until it comes again
};
struct CaptureSessions {
    IMMDeviceEnumerator *enumerator;
    CaptureDevice devices[MAX_CAPTURE_DEVICES];
    IAudioSessionControl2 *sessions[MAX_CAPTURE_SESSIONS];  // each with its state notices registered
    volatile LONG sessionsChanged;  // set by the session notices
    BOOL watching;       // looked at once since the watch began
    BOOL missesChanges;  // a registration or a read failed, or a table is full: look at every poll
    BOOL noSessionInterfaces;  // the system has no IAudioSessionManager2 (Vista): never look again
};
extern CaptureSessions captureSessions;

enum : DWORD { MUTE_CONTROL_UNLOCATED = 0xFFFFFFFFu };
enum { MIN_POLL_INTERVAL_MS = 100 };

DWORD WINAPI watchLoop(LPVOID unused);
// One poll of the player and the decision on it; the loop's body between two waits.
void pollOnce(void);
// How long the loop waits between two polls when nothing wakes it; never below 100 ms, so
// that a hand-written tiny interval cannot make it poll back to back.
DWORD pollInterval(LONG checkTime);

BOOL shouldHoldPlayback(void);
BOOL isScreenSaverRunning(void);
// The lock term: the session's notices where they are registered, else the desktop probe.
BOOL isWorkstationLocked(void);
BOOL inputDesktopLocked(void);
// Called by the signal window: the registration just held, or it is undone; a session notice.
void followSessionNotices(void);
void stopFollowingSessionNotices(void);
void noteSessionChange(WPARAM event);
// The sleep hold's moments, and whether it holds now.
void beginSleepHold(void);
void noteWake(BOOL userPresent);
void endSleepHold(void);
BOOL sleepHoldsPlayback(void);
// Nonzero while muted: the mixer's master mute, and with Core Audio the default speakers' too.
LONG readMasterMute(void);
BOOL writeMasterMute(LONG value);
void prepareMixerLock(void);
void deleteMixerLock(void);
// Under Wine a mixer call serves sent messages while it waits: this thread may be inside one.
BOOL mixerBusyOnThisThread(void);
// The player's thread never waits on the lock: FALSE when another thread holds it.
BOOL tryLockMixer(void);
void lockMixer(void);  // the watch thread's own
void unlockMixer(void);
void releaseMixer(void);
// Whether a release could be needed: a mute that is set, or one that could not be read.
BOOL masterMuteMayBeSet(void);

// The default render endpoint's mute, used where the system has Core Audio; elsewhere no COM
// call is ever made. Every call is complete in itself: no interface outlives it.
BOOL systemHasCoreAudio(void);  // looked up once by init into pluginState.hasCoreAudio
enum MuteReading { MUTE_CLEAR, MUTE_SET, MUTE_UNKNOWN };
// No device reads as clear; a device whose mute cannot be read, as unknown.
MuteReading readEndpointMuteState(void);
LONG readEndpointMute(void);
BOOL writeEndpointMute(LONG value);
// E_NOTIMPL without Core Audio; whatever it returns is handed back to leaveComApartment.
HRESULT enterComApartment(void);
void leaveComApartment(HRESULT entered);
IMMDeviceEnumerator *createDeviceEnumerator(void);
// The watch thread's own enumerator, with a reference for the caller, when called on that
// thread; a new one on any other. Released by the caller either way.
IMMDeviceEnumerator *borrowDeviceEnumerator(void);
// The volume object of the enumerator's default render device, or NULL.
IAudioEndpointVolume *activateDefaultSpeakers(IMMDeviceEnumerator *enumerator);

// The output device the music plays on went away (unplugged, disabled, removed) while the
// player played: asked by the poll with the state it just read.
BOOL outputDeviceWentAway(BOOL playing);
// The output kept through a pause of the plug-in's own is no longer there: asked at the moment
// the pause would end. Forgets it when so.
BOOL heldOutputHasGone(void);
void forgetOutputDevice(void);
// A device's id, kept only when it fits whole: a cut one would name no device.
BOOL readDeviceId(IMMDevice *device, WCHAR (&id)[DEVICE_ID_CAPACITY]);
// Device ids are compared code unit by code unit, whatever the user's locale.
BOOL sameDeviceId(const WCHAR *one, const WCHAR *other);
// The active render endpoint holding an active audio session of this process, the one in
// preferred if it holds one; FALSE when no such session can be found (Vista; an output that
// opens none).
BOOL findPlayerSessionEndpoint(IMMDeviceEnumerator *enumerator, const WCHAR *preferred,
                               WCHAR (&id)[DEVICE_ID_CAPACITY]);
// The watch thread's registrations for the player's sessions, made afresh whenever an endpoint
// or a session came or went.
void watchPlayerSessions(void);
void unwatchPlayerSessions(void);

// The call rule, fed with what the capture sessions show and asked at every poll; times are
// GetTickCount values.
enum { BRIEF_CAPTURE_MS = 1000, CALL_QUIET_MS = 2000 };
// The programs other than the player that capture now (no repeats), as the sessions last showed.
void observeCaptures(const DWORD *processIds, LONG count, DWORD now);
// How long until the rule changes its mind by time alone; INFINITE when it never will.
DWORD callRuleDueIn(DWORD now);
void forgetCalls(void);
// The poll's part: looks at the sessions where a notice (or a failed registration) says to,
// then asks the rule. No COM call without Core Audio or with the key off.
void followCalls(LRESULT playState);
// The loop resumes a pause of its own: the music that plays again is no start of the user's.
void noteOwnResume(void);
// Every registration undone and the rule's memory gone, as before the first poll.
void stopFollowingCalls(void);
// The sessions' part, on the watch thread: a look lists the capturing programs for the rule.
// Stopping undoes every registration and releases everything.
void lookAtCaptureSessionsIfChanged(DWORD now);
void stopWatchingCaptureSessions(void);

// Waits on the player's thread until the object is signalled or done() holds, at most limitMs,
// serving meanwhile the sends of the watch thread, which may be blocked on the player window.
BOOL waitServingSends(HANDLE object, DWORD limitMs, BOOL (*done)(void));

// Made by init on the player's thread before the watch thread starts; undone by quit.
BOOL createWakeEvents(void);
void closeWakeEvents(void);
void openSignalWindow(void);
// FALSE when the window, its class or a registration stays: the module must stay mapped.
// Run on the window's thread from runOnSignalWindowThread, it leaves the class to the sender.
BOOL closeSignalWindow(void);
BOOL unregisterSignalClass(void);
// Runs work on the thread of the signal window, the player's, from another thread. Not sent
// when there is no window or this is that thread; unanswered when it did not serve the send in
// time, and may still serve it later.
enum WindowThreadRun { RAN_THERE, NOT_SENT, UNANSWERED };
WindowThreadRun runOnSignalWindowThread(void (*work)(void), DWORD limitMs);
// Ask the loop to poll now; safe from any thread, callbacks included.
void wakeWatchLoop(void);
// FALSE once the stop was requested; otherwise returns when the interval is up or a signal came.
BOOL waitForNextPoll(void);
// The watch thread's part: registrations it makes and undoes itself, and the retries of those
// that did not hold yet, run between polls.
void watchSignalsBegin(void);
void watchSignalsBetweenPolls(void);
void watchSignalsEnd(void);

LRESULT CALLBACK transportFilterProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
// The watch thread's part of a release the filter handed over; run before each poll.
void releaseMuteHandedOver(void);
