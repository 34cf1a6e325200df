// The watch thread: polls the player, pauses it while a condition holds and resumes the
// pause it made once the condition ends; pauses once for good when the output device goes
// away. Polls at the interval, and at once when a signal wakes it. Started by init, ended by
// quit's stop request.
#include "engine/watch_loop.h"

#include "engine/audio_platform.h"
#include "engine/call_capture.h"
#include "engine/output_device.h"
#include "engine/pause_conditions.h"
#include "engine/settings_in_force.h"
#include "engine/sleep_hold.h"
#include "engine/transport_filter.h"
#include "engine/wake_signals.h"
#include "engine/watch_build.h"
#include "plugin/plugin.h"

static BOOL stopHasBeenRequested(void)
{
    EnterCriticalSection(&pluginState.stopLock);
    BOOL stop = pluginState.stopRequested != 0;
    LeaveCriticalSection(&pluginState.stopLock);
    return stop;
}

// A thread that was stuck in a platform call may come back after quit gave up on it: from
// then on the player is no longer ours to talk to, so every send looks at the stop first.
// Unanswered, the player counts as standing nowhere: nothing is paused or resumed.
static const LRESULT PLAYER_NOT_ASKED = -1;

static LRESULT queryPlayState(void)
{
    if (stopHasBeenRequested())
        return PLAYER_NOT_ASKED;
    return SendMessageA(pluginHeader.hwndParent, PLAY_STATE_QUERY, 0, PLAY_STATE_QUERY_LPARAM);
}

static void sendPauseToggle(void)
{
    if (stopHasBeenRequested())
        return;
    (void)SendMessageA(pluginHeader.hwndParent, WM_COMMAND, CMD_PAUSE, 0);
}

// The toggle pauses and resumes alike, so it goes out only while the player still stands
// where the decision needs it: the user may have pressed play or pause since the poll, and a
// blind toggle would undo what they did.
static BOOL playerStillIn(LRESULT state)
{
    return queryPlayState() == state;
}

static void sendOwnToggle(void)
{
    // the send re-enters transportFilterProc on the player's thread, which must see
    // issuingCommand raised
    pluginState.issuingCommand = 1;
    sendPauseToggle();
    pluginState.issuingCommand = 0;
}

// A pause the user undoes: never resumed by the loop. The music plays, so no pause of ours is
// held; a hold the user played over stays the user's through it, and pauses their next start
// no more than it paused this one.
static void pauseForTheUser(void)
{
    if (!playerStillIn(PLAY_STATE_PLAYING))
        return;
    sendOwnToggle();
}

static void pollOnHeldSettings(void)
{
    releaseMuteHandedOver();
    LRESULT state = queryPlayState();
    if (state == PLAYER_NOT_ASKED)
        return;
    // A pause of ours is never playing: the user started the music by a way the filter does not
    // see (another plug-in's call, say), and played over the hold as surely.
    if (state == PLAY_STATE_PLAYING)
        (void)InterlockedCompareExchange(&pluginState.pausedByPlugin, PLAYED_OVER_BY_USER, PAUSED_BY_US);
    // Every poll, whatever the player does: the call rule sees the music start.
    followCalls(state);
    if (outputDeviceWentAway(state == PLAY_STATE_PLAYING)) {
        pauseForTheUser();
        return;
    }
    if (pluginState.pausedByPlugin == NO_PAUSE_OF_OURS && state != PLAY_STATE_PLAYING)
        return;
    BOOL hold = shouldHoldPlayback();
    // pausedByPlugin is read afresh: the filter may have cleared it, or marked the hold played
    // over, while the probes ran.
    if (hold && pluginState.pausedByPlugin == NO_PAUSE_OF_OURS) {
        // The user started the music while this poll read the mute: the read is stale, and the
        // next poll releases the mute before it decides.
        if (muteReleaseHandedOver() || !playerStillIn(PLAY_STATE_PLAYING))
            return;
        pluginState.issuingCommand = 1;
        sendPauseToggle();
        pluginState.pausedByPlugin = PAUSED_BY_US;
        pluginState.issuingCommand = 0;
    } else if (!hold && pluginState.pausedByPlugin == PLAYED_OVER_BY_USER) {
        // The music, and any pause since, is the user's: nothing to resume.
        pluginState.pausedByPlugin = NO_PAUSE_OF_OURS;
    } else if (!hold && pluginState.pausedByPlugin == PAUSED_BY_US) {
        pluginState.pausedByPlugin = NO_PAUSE_OF_OURS;
        // Its output went away meanwhile: resuming would play from the next device.
        if (heldOutputHasGone())
            return;
        if (!playerStillIn(PLAY_STATE_PAUSED))
            return;
        noteOwnResume();
        sendOwnToggle();
    }
}

// One set of settings for the whole poll: an OK pressed meanwhile counts from the next one.
void pollOnce(void)
{
    holdSettingsForPoll();
    pollOnHeldSettings();
    releaseSettingsAfterPoll();
}

DWORD pollInterval(LONG checkTime)
{
    return checkTime < MIN_POLL_INTERVAL_MS ? (DWORD)MIN_POLL_INTERVAL_MS : (DWORD)checkTime;
}

// Without its events (they could not be made) the loop rests the interval in slices, looking
// at the stop request before each.
static BOOL waitInSlices(DWORD interval)
{
    for (DWORD waited = 0; waited < interval; waited += MIN_POLL_INTERVAL_MS) {
        if (stopHasBeenRequested())
            return FALSE;
        Sleep(MIN_POLL_INTERVAL_MS);
    }
    return !stopHasBeenRequested();
}

// The stop request and every signal end the wait at once; a new interval from the dialog
// wakes it too, so it acts within the wait under way.
BOOL waitForNextPoll(void)
{
    DWORD interval = pollInterval(settingsInForce().checkTime);
    // A capture's first second, a call's quiet end and the wait after a wake end unannounced:
    // the loop is there when they do.
    DWORD callDue = callRuleDueIn(GetTickCount()), wakeDue = sleepHoldDueIn();
    interval = callDue < interval ? callDue : interval;
    interval = wakeDue < interval ? wakeDue : interval;
    // An audio service still away is tried again however long the interval: its return is seen
    // within a second.
    DWORD renewalWait = audioWatchRenewalWait();
    interval = renewalWait < interval ? renewalWait : interval;
    if (!waitForWake(interval))
        return waitInSlices(interval);
    return !stopHasBeenRequested();
}

DWORD WINAPI watchLoop(LPVOID)
{
    // The thread's own apartment for its whole life: each endpoint read only joins it, and the
    // Core Audio registrations made here live in it until the thread undoes them.
    HRESULT apartment = enterComApartment();
    watchSignalsBegin();
    do {
        renewAudioWatchAfterOutage();
        notePollStarted();
        pollOnce();
        notePollFinished();
        watchSignalsBetweenPolls();
    } while (waitForNextPoll());
    watchSignalsEnd();
    leaveComApartment(apartment);
    return 0;
}
