// Reference counting for the simulated platform's objects: each is counted live in its
// simulation's counter from construction to its last Release, so that a test sees every
// reference a caller took given back. QueryInterface answers IUnknown and the object's own
// interface; an object with more interfaces answers them itself, through answer().
#pragma once
#include <objbase.h>

#include "notice_threads.h"

// Live tells where the count is kept: a struct with `static volatile LONG &count(void)`.
template <typename Interface, typename Live> struct CountedObject : Interface {
    LONG references = 1;
    CountedObject() { InterlockedIncrement(&Live::count()); }
    virtual ~CountedObject() { InterlockedDecrement(&Live::count()); }
    ULONG STDMETHODCALLTYPE AddRef() override { return InterlockedIncrement(&references); }
    ULONG STDMETHODCALLTYPE Release() override
    {
        LONG left = InterlockedDecrement(&references);
        if (left == 0) {
            noteLastRelease();
            delete this;
        }
        return left;
    }
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void **object) override
    {
        if (!IsEqualIID(iid, __uuidof(IUnknown)) && !IsEqualIID(iid, __uuidof(Interface))) {
            *object = NULL;
            return E_NOINTERFACE;
        }
        return answer(static_cast<Interface *>(this), object);
    }
    HRESULT answer(void *self, void **object)
    {
        AddRef();
        *object = self;
        return S_OK;
    }
};
