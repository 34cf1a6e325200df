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

void watchSignalsBegin(void)
{
    if (!pluginState.hasCoreAudio)
        return;
    attachDeviceNotices();
    watchSpeakerMute();
    startWatchingPlayerSessions();
}

// What failed to register (no device yet, the audio service not started) is tried again, and
// what a notice said has changed is registered afresh.
void watchSignalsBetweenPolls(void)
{
    askForSessionNoticesAgain();
    if (!pluginState.hasCoreAudio)
        return;
    attachDeviceNotices();
    watchSpeakerMute();
    keepWatchingPlayerSessions();
}

void watchSignalsEnd(void)
{
    stopFollowingCalls();
    unwatchPlayerSessions();
    unwatchSpeakerMute();
    forgetOutputJacks();
    detachDeviceNotices();
}
