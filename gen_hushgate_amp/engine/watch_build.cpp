// Builds the watch from the floor up and tears it down from the top: the platform's events and
// window first, then each condition's handlers and registrations; on the way out each condition
// undoes its own before the platform goes. Called by init and quit on the player's thread, and
// by the watch thread at its start, between its polls and at its end.
#include "engine/watch_build.h"

#include "engine/audio_platform.h"
#include "engine/call_capture.h"
#include "engine/endpoint_mute.h"
#include "engine/master_mute.h"
#include "engine/output_jacks.h"
#include "engine/player_sessions.h"
#include "engine/session_lock.h"
#include "engine/sleep_hold.h"
#include "engine/wake_signals.h"
#include "plugin/plugin.h"

// What arrives at the signal window, and the room that takes it.
static const SignalHook conditionSignals[] = {
    {WM_WTSSESSION_CHANGE, sessionChangeSignal},
    {SIGNAL_RETRY_SESSION_NOTICES, sessionRetrySignal},
    {WM_POWERBROADCAST, powerBroadcastSignal},
    {SIGNAL_WAKE_WITH_USER, wakeWithUserSignal},
    {MM_MIXM_CONTROL_CHANGE, mixerControlSignal},
    {MM_MIXM_LINE_CHANGE, mixerLineSignal},
};

void openSignalWindow(void)
{
    endSleepHold();
    forgetSessionNoticeRetry();
    // What a quit left because the window's thread did not answer goes now if it can; a window
    // still alive stays in use, its procedure kept mapped by the pin that quit took.
    if (!closeSignalWindow())
        return;
    // Every handler is in place before the window can receive a message.
    hookSignals(conditionSignals, sizeof conditionSignals / sizeof conditionSignals[0]);
    if (!createSignalWindow()) {
        (void)closeSignalWindow();
        return;
    }
    startSessionNotices();
}

// The window's thread unregisters the session notices and destroys it; a thread that does not
// answer keeps its window, and with it the class and the library.
BOOL closeSignalWindow(void)
{
    if (!destroySignalWindow(stopSessionNoticesOnWindowThread))
        return FALSE;
    forgetSessionNotices();
    return releaseSignalClass();
}

void openWatch(void)
{
    prepareMixerLock();
    // Without its events the loop still polls at the interval, as it does without any signal.
    (void)createWakeEvents();
    openSignalWindow();
}

// The mixer announces its changes to the window: it goes before the window does.
BOOL closeWatch(void)
{
    releaseMixer();
    deleteMixerLock();
    closeWakeEvents();
    return closeSignalWindow();
}

// The floor first: the rooms above register on its enumerator.
static void buildAudioWatch(void)
{
    attachDeviceNotices();
    watchSpeakerMute();
    startWatchingPlayerSessions();
}

// From the top down; the call rule keeps what it saw, for the next look to compare with. The
// jacks are the driver's, outside the audio service: what they read is kept.
static void tearDownAudioWatch(void)
{
    stopWatchingCaptureSessions();
    unwatchPlayerSessions();
    unwatchSpeakerMute();
    detachDeviceNotices();
}

AudioRenewal audioRenewal;

// A loss left from an earlier watch is none of this one's: it builds afresh anyway.
void watchSignalsBegin(void)
{
    audioRenewal.gap = 0;
    audioRenewal.settling = FALSE;
    audioRenewal.shutdownsSeen = audioShutdownsTold();
    takeAudioServiceLoss();
    if (!pluginState.hasCoreAudio)
        return;
    buildAudioWatch();
}

// What failed to register (no device yet, the audio service not started) is tried again, and
// what a notice said has changed is registered afresh.
void watchSignalsBetweenPolls(void)
{
    askForSessionNoticesAgain();
    // A service away fails every registration: the renewal before the next poll tries them all.
    if (!pluginState.hasCoreAudio || audioServiceAway())
        return;
    attachDeviceNotices();
    watchSpeakerMute();
    keepWatchingPlayerSessions();
}

void watchSignalsEnd(void)
{
    stopFollowingCalls();
    forgetOutputJacks();
    tearDownAudioWatch();
}

// One held object is asked, the speakers' where there are any: a restart between two polls,
// with no session watched, is shown by nothing else.
static BOOL heldAudioAnswers(void)
{
    return speakersWatched() ? watchedSpeakersAnswer() : captureWatchAnswers();
}

// Long enough for a service that told its shutdown to have gone.
static const DWORD SHUTDOWN_SETTLES_MS = 5000;

// Measured from the notice, unsigned: a sleep inside the window, however long, ends it.
static BOOL shutdownSettling(void)
{
    LONG told = audioShutdownsTold();
    if (told != audioRenewal.shutdownsSeen) {
        audioRenewal.shutdownsSeen = told;
        audioRenewal.settling = TRUE;
        audioRenewal.shutdownToldAt = GetTickCount();
    }
    DWORD since = GetTickCount() - audioRenewal.shutdownToldAt;
    audioRenewal.settling = audioRenewal.settling && since < SHUTDOWN_SETTLES_MS;
    return audioRenewal.settling;
}

static DWORD nextRenewalGap(void)
{
    DWORD gap = audioRenewal.gap * 2;
    if (gap < RENEWAL_FIRST_GAP_MS)
        gap = RENEWAL_FIRST_GAP_MS;
    return gap < RENEWAL_LONGEST_GAP_MS ? gap : (DWORD)RENEWAL_LONGEST_GAP_MS;
}

void renewAudioWatchAfterOutage(void)
{
    if (!pluginState.hasCoreAudio)
        return;
    BOOL settling = shutdownSettling();
    if (!audioServiceAway() && heldAudioAnswers()) {
        audioRenewal.gap = settling ? nextRenewalGap() : 0;
        return;
    }
    takeAudioServiceLoss();
    tearDownAudioWatch();
    buildAudioWatch();
    noteAudioWatchRebuilt();
    // A build that met the service still away raised the loss again.
    audioRenewal.gap = audioServiceAway() || settling ? nextRenewalGap() : 0;
}
