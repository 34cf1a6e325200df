// The callback objects the platform holds while they are registered: one static instance of
// each kind, never freed, answering only its own interface and IUnknown. Used by
// the Core Audio notices of the watch thread, with the fixed tables of audio sessions that one
// state-notice object serves.
#pragma once
#include <objbase.h>

#include <audiopolicy.h>

#include "engine/wake_signals.h"

// Answers IUnknown and the one interface the object serves; shared by every kind.
HRESULT answerStaticQuery(IUnknown *self, REFIID served, REFIID asked, void **object);

template <typename Interface> struct StaticNotices : Interface {
    // Constant: the instances are complete when the module is mapped, with no start-up code
    // of the runtime to run first.
    constexpr StaticNotices() {}
    // Its life is the module's: the count a caller gets back is for tests alone, as COM says,
    // and none is kept.
    ULONG STDMETHODCALLTYPE AddRef() override { return 1; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void **object) override
    {
        return answerStaticQuery(this, __uuidof(Interface), iid, object);
    }
};

// What the watch thread does with one audio session, handed over or listed: FALSE when it could
// not be watched or read, and the next poll must look again.
typedef BOOL (*SessionVisit)(IAudioSessionControl *session, void *context);

// A session announced to a callback may never appear in the platform's later lists when the
// control handed over was let go first: the callback keeps it here, with a reference of its
// own, for the watch thread to take. FALSE when every slot is taken.
BOOL keepHandedOver(IAudioSessionControl *volatile *slots, LONG count, IAudioSessionControl *control);
// The watch thread's: each kept control visited (where visit is given), then let go; FALSE
// when a visit failed.
BOOL takeHandedOver(IAudioSessionControl *volatile *slots, LONG count, SessionVisit visit, void *context);
// Each session of the list visited, then let go: one that cannot be read hides none of the
// others. FALSE when the count or a session could not be read, or a visit failed.
BOOL visitListedSessions(IAudioSessionEnumerator *list, SessionVisit visit, void *context);

// The platform calls through a non-const pointer, but nothing in a callback object ever changes:
// each is a constant in the module's read-only data.
template <typename Notices> inline Notices *callbackOf(const Notices &notices)
{
    return const_cast<Notices *>(&notices);
}

// Into the first free slot of the table, registered for its state notices; FALSE when the
// table is full or the registration failed.
template <typename Session, size_t N>
BOOL watchSessionState(Session *(&table)[N], Session *session, IAudioSessionEvents *notices)
{
    for (Session *&slot : table) {
        if (slot != NULL)
            continue;
        if (FAILED(session->RegisterAudioSessionNotification(notices)))
            return FALSE;
        session->AddRef();
        slot = session;
        return TRUE;
    }
    return FALSE;
}

// Each unregistered before it is released; one that fails leaves a callback that may still
// come, which keeps the module mapped.
template <typename Session, size_t N> void unwatchSessionStates(Session *(&table)[N], IAudioSessionEvents *notices)
{
    for (Session *&session : table) {
        if (session == NULL)
            continue;
        if (FAILED(session->UnregisterAudioSessionNotification(notices)))
            noteCallbacksMayCome();
        session->Release();
        session = NULL;
    }
}
