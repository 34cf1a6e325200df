// Cost as sessions grow: one poll at rest and one look at the capture sessions with 1, 8 and 32
// sessions spread over 8 microphones, each beside the same platform calls bare; and a storm of
// captures opened and closed 20 times a second against the real DLL's watch thread: its CPU, its
// wakeups, its session lists, and how soon after each notice the call rule has looked.
#include "bench.h"

#include <stdio.h>

#include <objbase.h>

#include <audiopolicy.h>
#include <mmdeviceapi.h>

#include "conditions.h"
#include "engine/call_capture.h"
#include "engine/capture_sessions.h"
#include "engine/master_mute.h"
#include "engine/wake_signals.h"
#include "engine/watch_build.h"
#include "engine/watch_loop.h"
#include "player_window.h"
#include "plugin/plugin.h"
#include "simulated_sessions.h"
#include "simulated_jacks.h"
#include "simulated_speakers.h"

enum { GROWTH_STEPS = 3 };
static const LONG SESSION_COUNTS[GROWTH_STEPS] = {1, 8, 32};
// Per session, a row may cost this much more than the row before it; a cost that grows with the
// square of the sessions is 4 times over it from 8 to 32.
static const double GROWTH_MARGIN = 1.25;

// A process id that is not this one's, for the index-th program.
static DWORD otherProgram(LONG index)
{
    return GetCurrentProcessId() + 8 + 4 * (DWORD)index;
}

// Every microphone present, and the sessions dealt round them, one program each; every fourth
// captures, since before the music started (so that nothing pauses).
static void setUpMicrophones(LONG sessions)
{
    resetSimulatedSpeakers();
    resetSimulatedJacks();
    resetSimulatedSessions();
    plugInExtraMicrophones(MICROPHONES - 2);
    for (LONG i = 0; i < sessions; ++i)
        (void)addSimulatedSession(microphoneAt(i % MICROPHONES), otherProgram(i),
                                  i % 4 == 0 ? AudioSessionStateActive : AudioSessionStateInactive, FALSE);
}

// --- one poll and one look, as the sessions grow ------------------------------------------------

struct GrowthStep {
    Samples pluginPolls, barePolls, pluginLooks, bareLooks;
};
static GrowthStep growth[GROWTH_STEPS];

static int growthBlocks(void)
{
    return config.quick ? 2 : 8;
}

static int callsPerBlock(void)
{
    return config.quick ? 10 : 25;
}

static LONG sessionsWatchedByPlugin(void)
{
    LONG watched = 0;
    for (IAudioSessionControl2 *session : captureSessions.sessions)
        if (session != NULL)
            ++watched;
    return watched;
}

static LONG listingsSoFar(void)
{
    return simulatedSessions.calls[SESSION_STEP_ENUMERATOR];
}

static void appendSamples(Samples &to, const Samples &from)
{
    for (int i = 0; i < from.count; ++i)
        addSample(to, from.values[i]);
}

// A block of polls at rest counts only when none of them listed a session: a poll that looked
// would be another measure.
static void timePluginPolls(Samples &samples)
{
    Samples block = {};
    LONG listed = listingsSoFar();
    for (int i = 0; i < callsPerBlock(); ++i) {
        double start = nowMs();
        pollOnce();
        addSample(block, nowMs() - start);
    }
    if (listingsSoFar() == listed)
        appendSamples(samples, block);
}

static void timeBarePolls(Samples &samples)
{
    for (int i = 0; i < callsPerBlock(); ++i) {
        double start = nowMs();
        barePoll(LOCK_FROM_PROBE);
        addSample(samples, nowMs() - start);
    }
}

// Each look as a session notice asks for it; a block counts only when every look listed every
// microphone and left every session watched.
static void timePluginLooks(Samples &samples, LONG sessions)
{
    Samples block = {};
    LONG listed = listingsSoFar();
    BOOL allWatched = TRUE;
    for (int i = 0; i < callsPerBlock(); ++i) {
        captureSessions.sessionsChanged = 1;
        double start = nowMs();
        lookAtCaptureSessionsIfChanged(GetTickCount());
        addSample(block, nowMs() - start);
        allWatched = allWatched && sessionsWatchedByPlugin() == sessions;
    }
    if (allWatched && listingsSoFar() - listed == MICROPHONES * callsPerBlock())
        appendSamples(samples, block);
}

static void timeBareLooks(Samples &samples, LONG sessions)
{
    Samples block = {};
    BOOL allWatched = TRUE;
    for (int i = 0; i < callsPerBlock(); ++i) {
        double start = nowMs();
        lookBare();
        addSample(block, nowMs() - start);
        allWatched = allWatched && bareSessionsWatched() == sessions;
    }
    if (allWatched)
        appendSamples(samples, block);
}

// One block of each kind with the sessions given: the plug-in's own library on the player's
// thread, its device notices registered as the watch thread registers them, so that a poll at
// rest lists nothing. The mixer it opens stays open for the next block.
static void measureGrowthBlock(GrowthStep &step, LONG sessions)
{
    setUpMicrophones(sessions);
    prepareLinkedPlugin();
    pluginState.settings.isCall = 1;
    playerWindow.playState = PLAY_STATE_PLAYING;
    HRESULT apartment = beginBareCalls();
    watchSignalsBegin();
    openBareLook();
    // The first poll lists the microphones and registers; from the second on, rest.
    pollOnce();
    pollOnce();
    timePluginPolls(step.pluginPolls);
    timeBarePolls(step.barePolls);
    timePluginLooks(step.pluginLooks, sessions);
    timeBareLooks(step.bareLooks, sessions);
    closeBareLook();
    watchSignalsEnd();
    endBareCalls(apartment);
    resetSimulatedSessions();
}

// The rows are compared with each other, so they take turns block by block: the machine's drift
// while other work runs touches all three alike.
static void measureGrowth(void)
{
    for (int block = 0; block < growthBlocks(); ++block)
        for (int i = 0; i < GROWTH_STEPS; ++i)
            measureGrowthBlock(growth[i], SESSION_COUNTS[i]);
    // Wine's legacy mixer answers only so many opens in one process: one for the whole room.
    releaseMixer();
}

// --- the storm ----------------------------------------------------------------------------------

static const int STORM_OPENS_PER_SECOND = 20;
static const double STORM_CPU_SHARE = 0.01;  // of one core
static const double DECIDED_WITHIN_MS = 50;

enum { MAX_STAMPS = 4096 };

// When the watch thread took the storm microphone's session list (written on that thread).
static double listingTimes[MAX_STAMPS];
static volatile LONG listingCount;

static void stampListing(LONG device)
{
    if (device != MICROPHONE)
        return;
    LONG at = InterlockedIncrement(&listingCount) - 1;
    if (at < MAX_STAMPS)
        listingTimes[at] = nowMs();
}

// A notice and the first listing of its microphone taken after the change was made: that look
// saw it, and the call rule decided on it in the same poll.
struct Notice {
    double at;
    LONG firstListing;
};
static Notice notices[MAX_STAMPS];
static LONG noticeCount;

struct StormFigures {
    double seconds;
    double cpuMs;  // negative: the thread's times could not be read
    LONG wakeups;
    LONG listings;     // session lists taken, of every microphone
    LONG stormLooks;   // of which the storm microphone's
    LONG opens;
    LONG noticesSent;
    double lastDecision;
};
static StormFigures storm = {0, -1, 0, 0, 0, 0, 0, NEVER};
static Samples stormDecisions;

static double threadCpuMs(HANDLE thread)
{
    FILETIME created, exited, kernel, user;
    if (thread == NULL || !GetThreadTimes(thread, &created, &exited, &kernel, &user))
        return -1;
    ULONGLONG total = ((ULONGLONG)kernel.dwHighDateTime << 32 | kernel.dwLowDateTime) +
                      ((ULONGLONG)user.dwHighDateTime << 32 | user.dwLowDateTime);
    return total / 10000.0;
}

// One change of the storm program's session; it counts as a notice when a listener heard it
// (the close of a session the plug-in never looked at tells nobody).
static void changeAndNote(LONG &session, BOOL open)
{
    LONG heard = simulatedSessions.noticesSent;
    double at = nowMs();
    if (open)
        session = addSimulatedSession(MICROPHONE, otherProgram(100), AudioSessionStateActive, FALSE);
    else
        removeSimulatedSession(session);
    // The watch thread asks the player for its state before it looks, and this thread serves
    // that only from here on: a listing counted after this point was taken after the change.
    if (simulatedSessions.noticesSent != heard && noticeCount < MAX_STAMPS) {
        notices[noticeCount].at = at;
        notices[noticeCount++].firstListing = listingCount;
    }
}

static BOOL stormMicrophoneWatched(void)
{
    return simulatedSessions.creationListeners >= MICROPHONES && listingCount > 0;
}

static void judgeNotices(void)
{
    LONG listings = listingCount < MAX_STAMPS ? listingCount : (LONG)MAX_STAMPS;
    for (LONG i = 0; i < noticeCount; ++i) {
        double decided = NEVER;
        for (LONG at = notices[i].firstListing; at < listings; ++at) {
            if (listingTimes[at] >= notices[i].at) {
                decided = listingTimes[at] - notices[i].at;
                break;
            }
        }
        addSample(stormDecisions, decided);
        storm.lastDecision = decided;
    }
}

// The real DLL in the stand-in player, playing, with the 8 microphones and 8 sessions of other
// programs; the storm program opens a capturing session on the default microphone and closes it
// half a period later, for the whole stretch.
static void measureStorm(void)
{
    Session session = {};
    setUpMicrophones(MICROPHONES);
    playerWindow.playState = PLAY_STATE_PLAYING;
    listingCount = 0;
    noticeCount = 0;
    simulatedSessions.listed = stampListing;
    startPlugin(session, SHORT_INTERVAL, SIMULATED_CHANGES);
    (void)pumpMessagesUntil(2000, signalsAttached);
    (void)pumpMessagesUntil(2000, stormMicrophoneWatched);
    pumpMessagesFor(300);
    HANDLE watchThread = OpenThread(THREAD_QUERY_INFORMATION, FALSE, probe.watchThreadId);
    int opens = STORM_OPENS_PER_SECOND * (config.quick ? 2 : 10);
    double period = 1000.0 / STORM_OPENS_PER_SECOND;
    double cpuStart = threadCpuMs(watchThread);
    LONG wakeupsStart = probe.waitsEntered;
    LONG listingsStart = listingsSoFar();
    LONG stormLooksStart = listingCount;
    LONG heardStart = simulatedSessions.noticesSent;
    double start = nowMs();
    LONG stormSession = NO_SESSION;
    for (int i = 0; i < opens; ++i) {
        pumpMessagesFor((DWORD)(start + i * period - nowMs() > 0 ? start + i * period - nowMs() : 0));
        changeAndNote(stormSession, TRUE);
        pumpMessagesFor((DWORD)(start + (i + 0.5) * period - nowMs() > 0 ? start + (i + 0.5) * period - nowMs() : 0));
        changeAndNote(stormSession, FALSE);
    }
    // The stretch ends when the look after the last notice has surely come, or would have.
    pumpMessagesFor(4 * (DWORD)DECIDED_WITHIN_MS);
    double cpuEnd = threadCpuMs(watchThread);
    storm.seconds = (nowMs() - start) / 1000;
    storm.cpuMs = cpuStart >= 0 && cpuEnd >= 0 ? cpuEnd - cpuStart : -1;
    storm.wakeups = probe.waitsEntered - wakeupsStart;
    storm.listings = listingsSoFar() - listingsStart;
    storm.stormLooks = listingCount - stormLooksStart;
    storm.opens = opens;
    storm.noticesSent = simulatedSessions.noticesSent - heardStart;
    simulatedSessions.listed = NULL;
    if (watchThread != NULL)
        CloseHandle(watchThread);
    (void)stopPlugin(session);
    resetSimulatedSessions();
    resetSimulatedSpeakers();
    resetSimulatedJacks();
    judgeNotices();
}

static void measureSessionGrowth(void)
{
    // The bench's own Core Audio calls, and so the linked-in library's and the bare calls', reach
    // the simulated microphones; its desktop probe, the stand-in's session.
    HMODULE self = GetModuleHandleA(NULL);
    (void)interceptLockProbe(self);
    (void)interceptSpeakers(self);
    resetSimulatedSession();
    measureGrowth();
    measureStorm();
}

// --- the table ----------------------------------------------------------------------------------

static double perSession(Samples &samples, LONG sessions)
{
    return median(samples) / sessions;
}

// Judged on the medians, per session, against the row before.
static Verdict growthVerdict(Samples GrowthStep::*side, int i)
{
    Samples &now = growth[i].*side, &before = growth[i - 1].*side;
    int samples = now.count < before.count ? now.count : before.count;
    return judge(samples, perSession(now, SESSION_COUNTS[i]) <= GROWTH_MARGIN * perSession(before, SESSION_COUNTS[i - 1]));
}

static void printGrowthRows(const char *what, Samples GrowthStep::*pluginSide, Samples GrowthStep::*bareSide,
                            int decimals)
{
    char row[160], target[64];
    for (int i = 0; i < GROWTH_STEPS; ++i) {
        wsprintfA(row, "%s, %ld capture session%s on %d microphones, plug-in", what, SESSION_COUNTS[i],
                  SESSION_COUNTS[i] == 1 ? "" : "s", MICROPHONES);
        if (i == 0) {
            printFigureRow(row, growth[i].*pluginSide, decimals);
        } else {
            snprintf(target, sizeof target, "per session <= %.2f x at %ld (medians)", GROWTH_MARGIN,
                     SESSION_COUNTS[i - 1]);
            printRow(row, growth[i].*pluginSide, target, growthVerdict(pluginSide, i), decimals);
        }
        printFigureRow("the same calls bare", growth[i].*bareSide, decimals);
    }
}

static Verdict stormCpuVerdict(void)
{
    BOOL measured = storm.cpuMs >= 0 && storm.noticesSent > 0 && storm.seconds > 0;
    return judge(measured ? storm.noticesSent : 0,
                 measured && storm.cpuMs <= STORM_CPU_SHARE * storm.seconds * 1000);
}

static void printSessionGrowthRows(void)
{
    printGrowthRows("one poll at rest", &GrowthStep::pluginPolls, &GrowthStep::barePolls, 2);
    // The simulated sessions answer in a fraction of a microsecond: a look takes a few.
    printGrowthRows("one look at the capture sessions", &GrowthStep::pluginLooks, &GrowthStep::bareLooks, 4);
    printRow("storm, 20 opens and closes a second: a notice to the look that saw it, plug-in", stormDecisions,
             "worst <= 50", judge(stormDecisions.count, worst(stormDecisions) <= DECIDED_WITHIN_MS));
}

// "-" where a row measured nothing.
static void printPerSession(Samples GrowthStep::*side)
{
    for (int i = 0; i < GROWTH_STEPS; ++i) {
        Samples &samples = growth[i].*side;
        printf(" %s", i == 0 ? "" : "/ ");
        if (samples.count == 0)
            printf("- at %ld", SESSION_COUNTS[i]);
        else
            printf("%.4f at %ld", perSession(samples, SESSION_COUNTS[i]), SESSION_COUNTS[i]);
    }
}

static void printSessionGrowthNotes(void)
{
    printf("Cost per session, medians (ms): one poll at rest");
    printPerSession(&GrowthStep::pluginPolls);
    printf("; one look");
    printPerSession(&GrowthStep::pluginLooks);
    printf(" (bare");
    printPerSession(&GrowthStep::bareLooks);
    printf(")\n");
    char cpu[64] = "not measured";
    if (storm.cpuMs >= 0 && storm.seconds > 0)
        snprintf(cpu, sizeof cpu, "%.0f ms, %.2f%% of one core", storm.cpuMs, storm.cpuMs / (storm.seconds * 10));
    char last[32] = "none";
    if (storm.noticesSent > 0)
        snprintf(last, sizeof last, storm.lastDecision >= NEVER ? "never" : "%.1f ms", storm.lastDecision);
    printf("Storm, %ld captures opened and closed on the default microphone over %.1f s (8 microphones, 8 sessions "
           "of other programs): watch thread CPU %s (target <= 1%%: %s); wakeups %ld; session lists taken %ld, %ld of "
           "them of the storm's microphone; notices %ld; the last notice's look after %s (target <= 50: %s)\n",
           storm.opens, storm.seconds, cpu, verdictText(stormCpuVerdict()), storm.wakeups, storm.listings,
           storm.stormLooks, storm.noticesSent, last,
           verdictText(judge(storm.noticesSent > 0 ? 1 : 0, storm.lastDecision <= DECIDED_WITHIN_MS)));
}

const BenchRoom sessionGrowthRoom = {measureSessionGrowth, printSessionGrowthRows, printSessionGrowthNotes};
