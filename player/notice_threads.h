// How the simulated Core Audio platform calls its listeners. Windows calls them from worker
// threads of its own, at any moment and several at once, and forbids a callback to register or
// unregister anything, or to release the last reference of a platform object, while it runs:
// the call it is inside waits on it, and the two deadlock. Switched on, each notice is called
// from a thread of its own and the change's caller does not wait; switched off, it is called on
// the caller's thread. Either way a callback that breaks the rule is counted, for a test to see.
#pragma once
#include <windows.h>
#include <unknwn.h>

struct NoticeThreads {
    volatile LONG fromOwnThreads;  // nonzero: every notice is called from a thread of its own
    volatile LONG ruleBreaks;      // registrations, unregistrations and last releases inside a callback
    volatile LONG pending;         // tellings under way and notices not yet returned
};
extern NoticeThreads noticeThreads;

struct Notice {
    IUnknown *handedOver = NULL;  // what the platform handed the callback, released after it returns
    virtual ~Notice() {}
    virtual void call(void) = 0;
};
template <typename Call> struct NoticeCalling : Notice {
    Call calling;
    explicit NoticeCalling(const Call &what) : calling(what) {}
    void call(void) override { calling(); }
};

// Bracket a telling, from before its snapshot of the listeners to its last notice handed on: an
// unregistration waits for it, so that nobody is called once unregistered.
void beginTelling(void);
void endTelling(void);
// Takes the notice and calls it, on this thread or on one of its own.
void deliver(Notice *notice);
template <typename Call> void deliverNotice(const Call &call, IUnknown *handedOver = NULL)
{
    Notice *notice = new NoticeCalling<Call>(call);
    notice->handedOver = handedOver;
    deliver(notice);
}

// For every Register* and Unregister* of the platform: inside a callback it breaks the rule;
// elsewhere an unregistration returns once no notice may still reach the listener.
void noteRegistration(void);
void noteUnregistration(void);
// For a platform object whose last reference goes.
void noteLastRelease(void);
// Waits until every notice handed on has returned, 5 s at most: one still running then is
// counted as a rule broken, as it would deadlock an unregistration. A test's end calls it.
void settleNotices(void);
