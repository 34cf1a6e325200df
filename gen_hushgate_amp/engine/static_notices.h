// The callback objects the platform holds for as long as they are registered: one static
// instance per kind, counted but never freed, and every method only signals and returns. Used
// by the watch thread's Core Audio registrations.
#pragma once
#include <objbase.h>

template <typename Interface> struct StaticNotices : Interface {
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
