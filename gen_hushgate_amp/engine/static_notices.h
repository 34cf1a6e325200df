// The callback objects the platform holds while they are registered: one static instance of
// each kind, counted but never freed, answering only its own interface and IUnknown. Used by
// the Core Audio notices of the watch thread.
#pragma once
#include <objbase.h>

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
