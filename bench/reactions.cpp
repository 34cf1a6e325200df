// How fast a change pauses the music: a lock, a mute, the screen saver and unplugged headphones,
// told to the plug-in as Windows tells it or seen at its poll, beside the bare loop's polls.
#include "bench.h"

#include <stdlib.h>

#include "conditions.h"
#include "player_window.h"
#include "simulated_jacks.h"
#include "simulated_sessions.h"
#include "simulated_speakers.h"

static volatile double pauseToggleAt;

// A pause toggle sent from another thread: the plug-in's watch thread or the bare loop's.
static void stampLoopToggle(const PlayerEvent &event)
{
    if (event.fromOtherThread && event.id == CMD_PAUSE)
        pauseToggleAt = nowMs();
}

static BOOL loopPaused(void)
{
    return pauseToggleAt > 0 && playerWindow.playState == PLAY_STATE_PAUSED;
}

// Waits for the pause after a change made at onset; one that never came is recorded as NEVER.
static void recordReaction(Samples &latencies, double onset, DWORD limitMs)
{
    if (pumpMessagesUntil(limitMs, loopPaused))
        addSample(latencies, pauseToggleAt - onset);
    else
        addSample(latencies, NEVER);
}

static BOOL loopResumed(void)
{
    return pauseToggleAt > 0 && playerWindow.playState == PLAY_STATE_PLAYING;
}

enum Change { CHANGE_LOCK, CHANGE_MUTE, CHANGE_SCREEN_SAVER };

static void setChange(Change change, BOOL on)
{
    switch (change) {
    case CHANGE_LOCK:
        setWorkstationLocked(on);
        break;
    case CHANGE_MUTE:
        (void)setUserMute(on);
        break;
    case CHANGE_SCREEN_SAVER:
        setScreenSaverRunning(on);
        break;
    }
}

static DWORD reactionLimit(int checkTime)
{
    return (DWORD)checkTime * 2 + 1000;
}

// Within the wait that follows the resume: the whole interval where only the poll sees the
// change, the first second of it where a signal ends the wait anyway.
static DWORD randomPhase(int checkTime, Change change)
{
    int range = change == CHANGE_SCREEN_SAVER || checkTime < 1000 ? checkTime : 1000;
    return (DWORD)(rand() % range);
}

static void measurePluginReaction(Change change, int checkTime, int trials, Samples &latencies)
{
    Session session = {};
    playerWindow.playState = PLAY_STATE_PLAYING;
    playerWindow.onEvent = stampLoopToggle;
    resetSimulatedSpeakers();
    resetSimulatedJacks();
    startPlugin(session, checkTime, SIMULATED_CHANGES);
    (void)pumpMessagesUntil(2000, signalsAttached);
    pumpMessagesFor(150);
    for (int trial = 0; trial < trials; ++trial) {
        pumpMessagesFor(randomPhase(checkTime, change));
        pauseToggleAt = 0;
        double onset = nowMs();
        setChange(change, TRUE);
        recordReaction(latencies, onset, reactionLimit(checkTime));
        pauseToggleAt = 0;
        setChange(change, FALSE);
        (void)pumpMessagesUntil(reactionLimit(checkTime), loopResumed);
    }
    playerWindow.onEvent = NULL;
    (void)stopPlugin(session);
}

// The bare loop starts afresh for every trial, so that the change lands at a random phase of
// its interval without waiting for a resume it would only see at its next poll.
static BOOL sliceLoopPolledOnce(void)
{
    return sliceLoop.polls > 0;
}

static void measureSliceLoopReaction(Change change, int interval, int trials, Samples &latencies)
{
    playerWindow.onEvent = stampLoopToggle;
    for (int trial = 0; trial < trials; ++trial) {
        playerWindow.playState = PLAY_STATE_PLAYING;
        startSliceLoop((DWORD)interval, TRUE, FALSE);
        (void)pumpMessagesUntil(5000, sliceLoopPolledOnce);
        pumpMessagesFor((DWORD)(rand() % interval));
        pauseToggleAt = 0;
        double onset = nowMs();
        setChange(change, TRUE);
        recordReaction(latencies, onset, reactionLimit(interval));
        setChange(change, FALSE);
        (void)stopSliceLoop();
    }
    playerWindow.onEvent = NULL;
    playerWindow.playState = PLAY_STATE_PLAYING;
}

enum DeviceNotices { DEVICES_SIGNAL, DEVICES_POLLED_ONLY };

static const int DEVICE_LOSS_INTERVAL = 500;

// Each trial plugs the headphones in while the music plays and lets one whole poll see them as
// the default before they go; the pause for the loss is the user's, so the bench plays again.
static void measureDeviceLoss(DeviceNotices notices, int trials, Samples &latencies)
{
    Session session = {};
    playerWindow.playState = PLAY_STATE_PLAYING;
    playerWindow.onEvent = stampLoopToggle;
    resetSimulatedSpeakers();
    resetSimulatedJacks();
    simulatedSpeakers.silent = notices == DEVICES_POLLED_ONLY ? 1 : 0;
    // In already, so that the plug-in's first look finds the music on them whenever it comes:
    // unannounced, a later plug-in would never be looked up, and no trial could see it go.
    plugInHeadphones();
    startPlugin(session, DEVICE_LOSS_INTERVAL, SIMULATED_CHANGES);
    (void)pumpMessagesUntil(2000, signalsAttached);
    for (int trial = 0; trial < trials; ++trial) {
        plugInHeadphones();
        (void)waitForPluginPoll(reactionLimit(DEVICE_LOSS_INTERVAL));
        pumpMessagesFor((DWORD)(rand() % DEVICE_LOSS_INTERVAL));
        pauseToggleAt = 0;
        double onset = nowMs();
        unplugHeadphones();
        recordReaction(latencies, onset, reactionLimit(DEVICE_LOSS_INTERVAL));
        pressPlayerButton(CMD_PLAY);
    }
    playerWindow.onEvent = NULL;
    (void)stopPlugin(session);
    resetSimulatedSpeakers();
    resetSimulatedJacks();
}

// The audio service stops for a random while, and the speakers are muted meanwhile, which reads
// as clear while it is away; from its return the first look that works again pauses. At the
// long interval only the plug-in's own tries while the service is away bring that look soon:
// the playing player's session, cut off by the shutdown, tells it the service went.
static void measureAudioServiceReturn(int trials, Samples &latencies)
{
    Session session = {};
    playerWindow.playState = PLAY_STATE_PLAYING;
    playerWindow.onEvent = stampLoopToggle;
    resetSimulatedSpeakers();
    resetSimulatedJacks();
    resetSimulatedSessions();
    LONG playerSession = addSimulatedSession(SPEAKERS, GetCurrentProcessId(), AudioSessionStateActive, FALSE);
    startPlugin(session, LONG_INTERVAL, SIMULATED_CHANGES);
    (void)pumpMessagesUntil(2000, signalsAttached);
    pumpMessagesFor(150);
    for (int trial = 0; trial < trials; ++trial) {
        stopAudioService();
        setSpeakersMuted(TRUE);
        pumpMessagesFor((DWORD)(rand() % 3000));
        pauseToggleAt = 0;
        double onset = nowMs();
        startAudioService();
        recordReaction(latencies, onset, reactionLimit(LONG_INTERVAL));
        pauseToggleAt = 0;
        setSpeakersMuted(FALSE);
        (void)pumpMessagesUntil(reactionLimit(LONG_INTERVAL), loopResumed);
    }
    playerWindow.onEvent = NULL;
    (void)stopPlugin(session);
    removeSimulatedSession(playerSession);
    resetSimulatedSpeakers();
}

static Samples pluginLock[2], pluginMute[2], bareLock[2], bareMute[2];
static Samples screenSaver;
static Samples lossSignalled, lossPolled;
static Samples serviceReturn;

static void measureReactions(void)
{
    BOOL quick = config.quick;
    // From here on the bare loop's own calls reach the stand-in's session and speakers, as the
    // plug-in's do, so that both see the same lock and the same mute.
    HMODULE self = GetModuleHandleA(NULL);
    (void)interceptLockProbe(self);
    (void)interceptSpeakers(self);
    resetSimulatedSession();
    resetSimulatedSpeakers();
    resetSimulatedJacks();

    int signalledTrials = quick ? 2 : 20;
    for (int i = 0; i < 2; ++i) {
        measurePluginReaction(CHANGE_LOCK, INTERVALS[i], signalledTrials, pluginLock[i]);
        measurePluginReaction(CHANGE_MUTE, INTERVALS[i], signalledTrials, pluginMute[i]);
    }
    measurePluginReaction(CHANGE_SCREEN_SAVER, SHORT_INTERVAL, quick ? 2 : 20, screenSaver);
    measureDeviceLoss(DEVICES_SIGNAL, signalledTrials, lossSignalled);
    measureDeviceLoss(DEVICES_POLLED_ONLY, quick ? 2 : 20, lossPolled);
    measureAudioServiceReturn(quick ? 2 : 10, serviceReturn);
    // At the long interval every bare trial lasts the whole interval; a quick run leaves it out.
    int bareTrials[2] = {quick ? 2 : 20, quick ? 0 : 5};
    for (int i = 0; i < 2; ++i) {
        measureSliceLoopReaction(CHANGE_LOCK, INTERVALS[i], bareTrials[i], bareLock[i]);
        measureSliceLoopReaction(CHANGE_MUTE, INTERVALS[i], bareTrials[i], bareMute[i]);
    }
}

static const double SIGNALLED_WORST_MS = 50;

static void printSignalledRow(const char *what, Samples &samples)
{
    printRow(what, samples, "worst <= 50", judge(samples.count, worst(samples) <= SIGNALLED_WORST_MS));
}

static void printPolledRow(const char *what, Samples &samples, int interval)
{
    char target[32];
    wsprintfA(target, "worst <= %d", interval + 30);
    printRow(what, samples, target, judge(samples.count, worst(samples) <= interval + 30));
}

static void printReactionRows(void)
{
    char what[128];
    for (int i = 0; i < 2; ++i) {
        wsprintfA(what, "lock, signalled: reaction at %d, plug-in", INTERVALS[i]);
        printSignalledRow(what, pluginLock[i]);
        wsprintfA(what, "lock: reaction at %d, bare slice loop", INTERVALS[i]);
        printFigureRow(what, bareLock[i]);
    }
    for (int i = 0; i < 2; ++i) {
        wsprintfA(what, "mute, signalled: reaction at %d, plug-in", INTERVALS[i]);
        printSignalledRow(what, pluginMute[i]);
        wsprintfA(what, "mute: reaction at %d, bare slice loop", INTERVALS[i]);
        printFigureRow(what, bareMute[i]);
    }
    printPolledRow("screen saver, polled: reaction at 500, plug-in", screenSaver, SHORT_INTERVAL);
    printSignalledRow("headphones unplugged, signalled: reaction at 500, plug-in", lossSignalled);
    printPolledRow("headphones unplugged, poll alone: reaction at 500, plug-in", lossPolled, DEVICE_LOSS_INTERVAL);
    printRow("audio service back: its return to the first working look (a mute set meanwhile pauses) at 10000, plug-in",
             serviceReturn, "worst <= 2000", judge(serviceReturn.count, worst(serviceReturn) <= 2000));
}

const BenchRoom reactionRoom = {measureReactions, printReactionRows, NULL};
