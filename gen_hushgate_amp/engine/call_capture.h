// The call rule: another program capturing from a microphone holds the music. Fed by the
// capture sessions, asked at every poll; only the watch thread writes here, and the pause
// conditions read the hold on either thread. Times are GetTickCount values.
#pragma once
#include <windows.h>

#include "engine/capture_sessions.h"

enum { BRIEF_CAPTURE_MS = 1000, CALL_QUIET_MS = 2000 };

// The rule follows each program that captures, by process: its id and when it was made, since
// an id that a process leaves goes to the next one made.
enum { MAX_CALLERS = MAX_CAPTURING_PROGRAMS };
struct Caller {
    DWORD processId;  // 0: a free slot
    ULONGLONG createdAt;   // 0: unknown, and the id alone tells it
    BOOL capturing;
    DWORD capturingSince;  // ticks, the start of the capture under way
    DWORD stoppedAt;       // ticks, the end of the last one
    BOOL excused;          // running when the music started: holds nothing until it ends
    BOOL ignored;          // a program the user listed as never a call
};
struct CallCapture {
    Caller callers[MAX_CALLERS];
    BOOL sawPlaying;    // the last poll found the player playing
    BOOL loopResumed;   // the loop sent its own resume since the last poll: no start of the user's
    LONG ignoreListVersion;  // the list the callers were judged by
    volatile LONG holding;
};
extern CallCapture callCapture;

// The programs other than the player that capture now (no repeats), as the sessions last showed.
void observeCaptures(const DWORD *processIds, LONG count, DWORD now);
// Looks at the capture sessions where a notice (or a failed registration) says to, and hands
// the rule what it found.
void lookAtCaptureSessionsIfChanged(DWORD now);
// How long until the rule changes its mind by time alone; INFINITE when it never will.
DWORD callRuleDueIn(DWORD now);
// The watch thread's last poll decided it; either thread may ask.
BOOL callHoldsPlayback(void);
void forgetCalls(void);
// The poll's part: looks at the sessions where a notice (or a failed registration) says to,
// then asks the rule. No COM call without Core Audio or with the key off.
void followCalls(LRESULT playState);
// The loop resumes a pause of its own: the music that plays again is no start of the user's.
void noteOwnResume(void);
// Every registration undone and the rule's memory gone, as before the first poll.
void stopFollowingCalls(void);
