// What each loop costs while the player is stopped: how often it wakes up and how much CPU its
// thread takes, the plug-in's watch thread and the bare loop side by side over one stretch.
#include "bench.h"

#include <stdio.h>

#include "player_window.h"

static double threadCpuMs(HANDLE thread)
{
    FILETIME created, exited, kernel, user;
    if (!GetThreadTimes(thread, &created, &exited, &kernel, &user))
        return -1;
    ULONGLONG total = ((ULONGLONG)kernel.dwHighDateTime << 32 | kernel.dwLowDateTime) +
                      ((ULONGLONG)user.dwHighDateTime << 32 | user.dwLowDateTime);
    return total / 10000.0;
}

struct IdleFigures {
    LONG pluginWakeups;  // none: the plug-in's watch thread was never seen waiting
    double seconds;
    double pluginCpuPerMinute;
    double bareCpuPerMinute;
    double pluginWakeupsPerMinute;
    double bareWakeupsPerMinute;
};
static IdleFigures idle;

static const int IDLE_INTERVAL = 500;

static LONG waitsMark;
static BOOL pluginWaitedAgain(void)
{
    return probe.waitsEntered != waitsMark;
}

// Returns just after the plug-in's next wait began: a stretch measured from one such moment to
// another holds whole intervals, so that its count is not off by one at either end.
static void alignOnPluginWait(void)
{
    waitsMark = probe.waitsEntered;
    (void)pumpMessagesUntil(5000, pluginWaitedAgain);
}

// Both loops side by side over the same stretch, the player stopped: each poll is then only
// the play-state query.
static void measureIdle(void)
{
    Session session = {};
    playerWindow.playState = PLAY_STATE_STOPPED;
    startPlugin(session, IDLE_INTERVAL, REAL_PLATFORM);
    pumpMessagesFor(200);
    HANDLE watchThread = OpenThread(THREAD_QUERY_INFORMATION, FALSE, probe.watchThreadId);
    startSliceLoop(IDLE_INTERVAL, FALSE, FALSE);
    pumpMessagesFor(50);
    double pluginStart = threadCpuMs(watchThread);
    double bareStart = threadCpuMs(sliceLoop.thread);
    alignOnPluginWait();
    LONG pluginWaits = probe.waitsEntered;
    LONG bareSleeps = sliceLoop.sleeps;
    double start = nowMs();
    pumpMessagesFor(config.quick ? 2000 : 60000);
    alignOnPluginWait();
    idle.seconds = (nowMs() - start) / 1000;
    double perMinute = 60.0 / idle.seconds;
    idle.pluginCpuPerMinute = (threadCpuMs(watchThread) - pluginStart) * perMinute;
    idle.bareCpuPerMinute = (threadCpuMs(sliceLoop.thread) - bareStart) * perMinute;
    idle.pluginWakeups = probe.waitsEntered - pluginWaits;
    idle.pluginWakeupsPerMinute = idle.pluginWakeups * perMinute;
    idle.bareWakeupsPerMinute = (sliceLoop.sleeps - bareSleeps) * perMinute;
    (void)stopSliceLoop();
    CloseHandle(watchThread);
    (void)stopPlugin(session);
}

static void printIdleNotes(void)
{
    double wakeupLimit = 60000.0 / IDLE_INTERVAL;
    printf("Wakeups per minute while stopped, at %d over %.0f s: plug-in %.0f (target <= %.0f: %s), bare slice loop "
           "%.0f\n",
           IDLE_INTERVAL, idle.seconds, idle.pluginWakeupsPerMinute, wakeupLimit,
           verdictText(judge(idle.pluginWakeups, idle.pluginWakeupsPerMinute <= wakeupLimit)),
           idle.bareWakeupsPerMinute);
    char pluginCpu[32] = "not measured";
    if (idle.pluginWakeups > 0)
        snprintf(pluginCpu, sizeof pluginCpu, "%.1f ms/min", idle.pluginCpuPerMinute);
    printf("Idle CPU while stopped, same stretch: plug-in %s, bare slice loop %.1f ms/min (thread clock "
           "resolution 10 ms)\n",
           pluginCpu, idle.bareCpuPerMinute);
}

const BenchRoom idleRoom = {measureIdle, NULL, printIdleNotes};
