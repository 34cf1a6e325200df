// Hush for calls: how soon another program's capture pauses the music, told to the plug-in as
// Windows tells it (the session notices) or seen by its poll alone (every session registration
// refused), and what following the calls adds to a poll at rest, ISCALL on against off.
#include "bench.h"

#include <stdio.h>
#include <stdlib.h>

#include "engine/call_capture.h"
#include "engine/audio_platform.h"
#include "engine/endpoint_mute.h"
#include "engine/master_mute.h"
#include "engine/wake_signals.h"
#include "engine/watch_build.h"
#include "engine/watch_loop.h"
#include "player_window.h"
#include "plugin/plugin.h"
#include "simulated_sessions.h"
#include "other_programs.h"
#include "simulated_jacks.h"
#include "simulated_speakers.h"

static volatile double toggleAt;

static void stampLoopToggle(const PlayerEvent &event)
{
    if (event.fromOtherThread && event.id == CMD_PAUSE)
        toggleAt = nowMs();
}

static BOOL pausedByLoop(void)
{
    return toggleAt > 0 && playerWindow.playState == PLAY_STATE_PAUSED;
}

static BOOL resumedByLoop(void)
{
    return toggleAt > 0 && playerWindow.playState == PLAY_STATE_PLAYING;
}

enum CallNotices { CALL_SIGNALLED, CALL_POLLED_ONLY };

static const int CALL_INTERVAL = 500;
// The rule's own: a capture counts as a call once it has run a second (BRIEF_CAPTURE_MS), and a
// call is over after two quiet seconds (CALL_QUIET_MS).
static const DWORD CALL_GRACE_MS = BRIEF_CAPTURE_MS;

static DWORD callLimit(DWORD wait)
{
    return wait + 2 * CALL_INTERVAL + 1000;
}

// The capture starts at a random moment of the loop's wait; each trial waits for the resume
// before the next, so that every call is a new one.
static void measureCallReaction(CallNotices notices, int trials, Samples &latencies)
{
    Session session = {};
    playerWindow.playState = PLAY_STATE_PLAYING;
    playerWindow.onEvent = stampLoopToggle;
    resetSimulatedSpeakers();
    resetSimulatedJacks();
    resetSimulatedSessions();
    BOOL refused = notices == CALL_POLLED_ONLY;
    simulatedSessions.failing[SESSION_STEP_CREATED_NOTICES] = refused;
    simulatedSessions.failing[SESSION_STEP_STATE_NOTICES] = refused;
    startPlugin(session, CALL_INTERVAL, SIMULATED_CHANGES);
    (void)pumpMessagesUntil(2000, signalsAttached);
    pumpMessagesFor(150);
    for (int trial = 0; trial < trials; ++trial) {
        pumpMessagesFor((DWORD)(rand() % CALL_INTERVAL));
        toggleAt = 0;
        double onset = nowMs();
        startProgramCapture(MEETING_APP, MICROPHONE);
        BOOL paused = pumpMessagesUntil(callLimit(CALL_GRACE_MS), pausedByLoop);
        addSample(latencies, paused ? toggleAt - onset : NEVER);
        toggleAt = 0;
        stopProgramCapture(MEETING_APP);
        (void)pumpMessagesUntil(callLimit(CALL_QUIET_MS), resumedByLoop);
    }
    playerWindow.onEvent = NULL;
    (void)stopPlugin(session);
    resetSimulatedSessions();
}

// --- the poll at rest, ISCALL on and off -------------------------------------------------------

// The plug-in's own library, linked into the bench: ISCALL is switched in its settings as the
// key would, and its poll is called here on the player's thread with every other condition on,
// the stand-in's session and speakers behind them.
void prepareLinkedPlugin(void)
{
    pluginHeader.hwndParent = playerWindow.hwnd;
    pluginState.osMajorVersion = 6;
    pluginState.hasCoreAudio = systemHasCoreAudio();
    if (!pluginState.stopLockReady) {
        InitializeCriticalSection(&pluginState.stopLock);
        pluginState.stopLockReady = 1;
    }
    prepareMixerLock();
    Settings &settings = pluginState.settings;
    settings.isLock = settings.isScreenSave = settings.isMute = settings.isDeviceLost = 1;
    settings.checkTime = CALL_INTERVAL;
}

static Samples callOnPolls, callOffPolls, sessionLists;

static void timeLinkedPolls(LONG isCall, int polls, Samples &samples)
{
    pluginState.settings.isCall = isCall;
    // The first poll with the key on lists the devices and registers; from the second on, rest.
    pollOnce();
    pollOnce();
    LONG listed = simulatedSessions.calls[SESSION_STEP_ENUMERATOR];
    for (int poll = 0; poll < polls; ++poll) {
        double start = nowMs();
        pollOnce();
        addSample(samples, nowMs() - start);
    }
    if (isCall)
        addSample(sessionLists, simulatedSessions.calls[SESSION_STEP_ENUMERATOR] - listed);
}

// At rest: one program captured before the music started (a voice channel left open), another
// has a session that is not capturing. Nothing changes, so nothing is looked at again.
static void measureCallCost(void)
{
    prepareLinkedPlugin();
    resetSimulatedSpeakers();
    resetSimulatedJacks();
    resetSimulatedSessions();
    DWORD other = GetCurrentProcessId() + 8;
    (void)addSimulatedSession(HEADSET, other, AudioSessionStateActive, FALSE);
    (void)addSimulatedSession(MICROPHONE, other + 4, AudioSessionStateInactive, FALSE);
    playerWindow.playState = PLAY_STATE_PLAYING;
    // The device notices, as the watch thread registers them.
    watchSignalsBegin();
    int blocks = config.quick ? 2 : 8, polls = config.quick ? 10 : 25;
    for (int block = 0; block < blocks; ++block) {
        timeLinkedPolls(1, polls, callOnPolls);
        timeLinkedPolls(0, polls, callOffPolls);
    }
    watchSignalsEnd();
    releaseMixer();
    resetSimulatedSessions();
}

static Samples callSignalled, callPolled;

static void measureCalls(void)
{
    int trials = config.quick ? 2 : 10;
    measureCallReaction(CALL_SIGNALLED, trials, callSignalled);
    measureCallReaction(CALL_POLLED_ONLY, trials, callPolled);
    measureCallCost();
}

static const double ADDED_POLL_MS = 0.1;

static double sessionListsAtRest(void)
{
    double lists = 0;
    for (int i = 0; i < sessionLists.count; ++i)
        lists += sessionLists.values[i];
    return lists;
}

static double addedPollCost(void)
{
    return median(callOnPolls) - median(callOffPolls);
}

static Verdict addedCostVerdict(void)
{
    int samples = callOnPolls.count < callOffPolls.count ? callOnPolls.count : callOffPolls.count;
    return judge(samples, addedPollCost() <= ADDED_POLL_MS);
}

static void printCallRows(void)
{
    char target[32];
    wsprintfA(target, "worst <= %lu", CALL_GRACE_MS + 50);
    printRow("call, signalled: capture start to pause at 500, plug-in", callSignalled, target,
             judge(callSignalled.count, worst(callSignalled) <= CALL_GRACE_MS + 50));
    wsprintfA(target, "worst <= %lu", CALL_GRACE_MS + CALL_INTERVAL + 30);
    printRow("call, poll alone: capture start to pause at 500, plug-in", callPolled, target,
             judge(callPolled.count, worst(callPolled) <= CALL_GRACE_MS + CALL_INTERVAL + 30));
    printRow("one poll at rest, ISCALL on (the plug-in's library; all conditions, sessions simulated)", callOnPolls,
             "added <= 0.1 (medians)", addedCostVerdict());
    printFigureRow("one poll at rest, the same with ISCALL off", callOffPolls);
}

static void printCallNotes(void)
{
    printf("Added cost per poll with ISCALL on, at rest (medians): %.4f ms (target <= 0.1: %s); sessions listed "
           "over %d polls at rest: %.0f\n",
           addedPollCost(), verdictText(addedCostVerdict()), callOnPolls.count, sessionListsAtRest());
}

const BenchRoom callRoom = {measureCalls, printCallRows, printCallNotes};
