// The callback objects the platform holds while they are registered: one static instance of
// each kind, counted but never freed, answering only its own interface and IUnknown. Used by
// the Core Audio notices of the watch thread, with the fixed tables of audio sessions that one
// state-notice object serves.
#pragma once
#include <objbase.h>

#include <audiopolicy.h>

#include "engine/wake_signals.h"

template <typename Interface> struct StaticNotices : Interface {
    // Constant: the instances are complete when the module is mapped, with no start-up code
    // of the runtime to run first.
    constexpr StaticNotices() : references(0) {}
    volatile LONG references;
    ULONG STDMETHODCALLTYPE AddRef() override { return InterlockedIncrement(&references); }
    ULONG STDMETHODCALLTYPE Release() override { return InterlockedDecrement(&references); }
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void **object) override
    {
        if (!IsEqualIID(iid, __uuidof(IUnknown)) && !IsEqualIID(iid, __uuidof(Interface))) {
            *object = NULL;
            return E_NOINTERFACE;
        }
        AddRef();
        *object = static_cast<Interface *>(this);
        return S_OK;
    }
};

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
