// Hush for calls: while the player plays and another program starts capturing from a
// microphone, the music is held; once no such capture has run for a while, it is not. Never in
// the way of a program that keeps a microphone open for good. Asked by the poll; fed by what
// the capture sessions show (capture_sessions.cpp).
#include "engine/call_capture.h"

#include "engine/capture_sessions.h"
#include "engine/ignored_programs.h"
#include "engine/settings_in_force.h"
#include "plugin/plugin.h"

CallCapture callCapture;

// A creation time that could not be read, then or now (the process ending, access refused),
// leaves the id alone to tell: a program met is not met anew for a read that failed.
static BOOL sameProgram(const Caller &caller, DWORD processId, ULONGLONG createdAt)
{
    if (caller.processId != processId)
        return FALSE;
    return caller.createdAt == createdAt || caller.createdAt == 0 || createdAt == 0;
}

static Caller *callerOf(DWORD processId, ULONGLONG createdAt)
{
    for (Caller &caller : callCapture.callers) {
        if (sameProgram(caller, processId, createdAt))
            return &caller;
    }
    return NULL;
}

static BOOL listed(const Caller &caller, const DWORD *processIds, const ULONGLONG *createdAt, LONG count)
{
    for (LONG i = 0; i < count; ++i) {
        if (sameProgram(caller, processIds[i], createdAt[i]))
            return TRUE;
    }
    return FALSE;
}

// A program met for the first time; with the table full it is not followed (16 programs
// capturing at once is no desk a person sits at).
static void startFollowing(DWORD processId, ULONGLONG createdAt, DWORD now)
{
    Caller *caller = callerOf(0, 0);
    if (caller == NULL)
        return;
    caller->processId = processId;
    caller->createdAt = createdAt;
    caller->capturing = TRUE;
    caller->capturingSince = now;
    caller->excused = FALSE;
    // Once for each program met: its name is not read again at every poll.
    caller->ignored = isIgnoredProcess(processId, createdAt);
}

// The user changed the list: the programs already met are judged by the new one.
static void judgeCallersAgain(void)
{
    LONG version = ignoredProgramsVersion();
    if (callCapture.ignoreListVersion == version)
        return;
    callCapture.ignoreListVersion = version;
    for (Caller &caller : callCapture.callers) {
        if (caller.processId != 0)
            caller.ignored = isIgnoredProcess(caller.processId, caller.createdAt);
    }
}

void observeCaptures(const DWORD *processIds, LONG count, DWORD now)
{
    judgeCallersAgain();
    // A process that ended and a new one on its id are two programs: the call of the one goes on
    // to its end, the other is met anew, its name read anew, and no excuse of the first is its.
    ULONGLONG createdAt[MAX_CAPTURING_PROGRAMS];
    count = count < (LONG)MAX_CAPTURING_PROGRAMS ? count : (LONG)MAX_CAPTURING_PROGRAMS;
    for (LONG i = 0; i < count; ++i)
        createdAt[i] = processCreationTime(processIds[i]);
    for (Caller &caller : callCapture.callers) {
        if (caller.processId == 0)
            continue;
        BOOL capturing = listed(caller, processIds, createdAt, count);
        if (caller.capturing && !capturing)
            caller.stoppedAt = now;
        if (!caller.capturing && capturing) {
            // Quiet for the whole pause between two captures, even with no poll in between: a
            // new call, which the excuse of the one before does not cover.
            if (now - caller.stoppedAt >= CALL_QUIET_MS)
                caller.excused = FALSE;
            caller.capturingSince = now;
        }
        caller.capturing = capturing;
    }
    for (LONG i = 0; i < count; ++i) {
        if (processIds[i] != 0 && callerOf(processIds[i], createdAt[i]) == NULL)
            startFollowing(processIds[i], createdAt[i], now);
    }
}

// A program quiet for the whole pause between two captures has ended its call: a capture of
// its own after that is a new call, and an excuse it had is gone with it.
static void forgetEndedCalls(DWORD now)
{
    for (Caller &caller : callCapture.callers) {
        if (caller.processId != 0 && !caller.capturing && now - caller.stoppedAt >= CALL_QUIET_MS)
            ZeroMemory(&caller, sizeof caller);
    }
}

// The music started: the user played over a pause of ours (a pause of ours is never playing),
// or it plays where it did not at the last poll, after a stop, a pause of the user's, or a pause
// of ours that the user's start ended (the filter released the mute). Only the loop's own
// resume is no start.
static BOOL musicStarted(BOOL playing, BOOL pausedByPlugin)
{
    if (!playing)
        return FALSE;
    if (pausedByPlugin)
        return TRUE;
    return !callCapture.sawPlaying && !callCapture.loopResumed;
}

void noteOwnResume(void)
{
    callCapture.loopResumed = TRUE;
}

// Whatever is capturing (or between two captures) as the music starts holds nothing: a tool
// that keeps a microphone open for good, or a call the user chose to play over.
static void excuseEveryCaller(void)
{
    for (Caller &caller : callCapture.callers) {
        if (caller.processId != 0)
            caller.excused = TRUE;
    }
}

static BOOL countsForNothing(const Caller &caller)
{
    return caller.processId == 0 || caller.excused || caller.ignored;
}

// A capture counts as a call once it has run a whole second; a hold lasts while any counted
// program captures or has not yet been quiet for the pause between captures.
static BOOL callGoesOn(DWORD now, BOOL holding)
{
    for (const Caller &caller : callCapture.callers) {
        if (countsForNothing(caller))
            continue;
        if (holding)
            return TRUE;
        if (caller.capturing && now - caller.capturingSince >= BRIEF_CAPTURE_MS)
            return TRUE;
    }
    return FALSE;
}

// With the player's state at this poll.
static void decideCallHold(BOOL playing, BOOL pausedByPlugin, DWORD now)
{
    forgetEndedCalls(now);
    judgeCallersAgain();
    if (musicStarted(playing, pausedByPlugin))
        excuseEveryCaller();
    callCapture.sawPlaying = playing;
    callCapture.loopResumed = FALSE;
    callCapture.holding = callGoesOn(now, callCapture.holding != 0);
}

static DWORD remaining(DWORD since, DWORD span, DWORD now)
{
    DWORD passed = now - since;
    return passed >= span ? 0 : span - passed;
}

// A capture's first second, and the quiet that ends a hold, run out by time alone: the loop
// wakes for them however long its interval. Excused programs change nothing when they end.
DWORD callRuleDueIn(DWORD now)
{
    DWORD due = INFINITE;
    for (const Caller &caller : callCapture.callers) {
        if (countsForNothing(caller))
            continue;
        DWORD left = INFINITE;
        if (caller.capturing && !callCapture.holding)
            left = remaining(caller.capturingSince, BRIEF_CAPTURE_MS, now);
        if (!caller.capturing && callCapture.holding)
            left = remaining(caller.stoppedAt, CALL_QUIET_MS, now);
        if (left < due)
            due = left;
    }
    return due;
}

BOOL callHoldsPlayback(void)
{
    return callCapture.holding != 0;
}

void lookAtCaptureSessionsIfChanged(DWORD now)
{
    CapturingPrograms found;
    if (listCapturingProgramsIfChanged(found))
        observeCaptures(found.processIds, found.count, now);
}

void forgetCalls(void)
{
    ZeroMemory(&callCapture, sizeof callCapture);
}

void stopFollowingCalls(void)
{
    stopWatchingCaptureSessions();
    forgetCalls();
}

void followCalls(LRESULT playState)
{
    if (settingsInForce().isCall == 0 || !pluginState.hasCoreAudio) {
        stopFollowingCalls();
        return;
    }
    DWORD now = GetTickCount();
    lookAtCaptureSessionsIfChanged(now);
    decideCallHold(playState == PLAY_STATE_PLAYING, pluginState.pausedByPlugin != 0, now);
}
