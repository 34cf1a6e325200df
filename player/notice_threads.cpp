// Notices called on the caller's thread or on threads of their own, and the rule a callback must
// keep while it runs.
#include "notice_threads.h"

NoticeThreads noticeThreads;

// Callbacks running on this thread now: a notice's thread runs one, the caller's may nest.
static __thread LONG callbacksRunning;

static void callGuarded(Notice *notice)
{
    ++callbacksRunning;
    notice->call();
    --callbacksRunning;
    if (notice->handedOver != NULL)
        notice->handedOver->Release();
    delete notice;
}

static DWORD WINAPI noticeThread(LPVOID parameter)
{
    callGuarded(static_cast<Notice *>(parameter));
    InterlockedDecrement(&noticeThreads.pending);
    return 0;
}

void beginTelling(void)
{
    InterlockedIncrement(&noticeThreads.pending);
}

void endTelling(void)
{
    InterlockedDecrement(&noticeThreads.pending);
}

// Without a thread to spare the notice is called here rather than lost.
void deliver(Notice *notice)
{
    if (!noticeThreads.fromOwnThreads) {
        callGuarded(notice);
        return;
    }
    InterlockedIncrement(&noticeThreads.pending);
    HANDLE thread = CreateThread(NULL, 0, noticeThread, notice, 0, NULL);
    if (thread != NULL) {
        CloseHandle(thread);
        return;
    }
    InterlockedDecrement(&noticeThreads.pending);
    callGuarded(notice);
}

static BOOL insideCallback(void)
{
    if (callbacksRunning == 0)
        return FALSE;
    InterlockedIncrement(&noticeThreads.ruleBreaks);
    return TRUE;
}

void noteRegistration(void)
{
    (void)insideCallback();
}

// Windows waits for the callbacks under way, which is why one inside them deadlocks; here it
// is counted and let through instead.
void noteUnregistration(void)
{
    if (!insideCallback() && noticeThreads.fromOwnThreads)
        settleNotices();
}

void noteLastRelease(void)
{
    (void)insideCallback();
}

// Counted in sleeps, not by the clock a test may move on: 5,000 of them last 5 s at least.
void settleNotices(void)
{
    for (LONG slept = 0; noticeThreads.pending > 0; ++slept) {
        if (slept > 5000) {
            InterlockedIncrement(&noticeThreads.ruleBreaks);
            return;
        }
        Sleep(1);
    }
}
