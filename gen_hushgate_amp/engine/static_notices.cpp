// The one answer to QueryInterface of every static callback object: itself for IUnknown and
// for the interface it serves, nothing for any other.
#include "engine/static_notices.h"

HRESULT answerStaticQuery(IUnknown *self, REFIID served, REFIID asked, void **object)
{
    if (!IsEqualIID(asked, __uuidof(IUnknown)) && !IsEqualIID(asked, served)) {
        *object = NULL;
        return E_NOINTERFACE;
    }
    *object = self;
    return S_OK;
}

BOOL keepHandedOver(IAudioSessionControl *volatile *slots, LONG count, IAudioSessionControl *control)
{
    // The reference comes before the control is published: the watch thread may take it at once.
    // Giving it back here never gives back the last one, which the caller holds for the call.
    control->AddRef();
    for (LONG i = 0; i < count; ++i) {
        if (InterlockedCompareExchangePointer((PVOID volatile *)&slots[i], control, NULL) == NULL)
            return TRUE;
    }
    control->Release();
    return FALSE;
}

BOOL takeHandedOver(IAudioSessionControl *volatile *slots, LONG count, SessionVisit visit, void *context)
{
    BOOL complete = TRUE;
    for (LONG i = 0; i < count; ++i) {
        IAudioSessionControl *control =
            (IAudioSessionControl *)InterlockedExchangePointer((PVOID volatile *)&slots[i], NULL);
        if (control == NULL)
            continue;
        if (visit != NULL)
            complete = visit(control, context) && complete;
        control->Release();
    }
    return complete;
}

BOOL visitListedSessions(IAudioSessionEnumerator *list, SessionVisit visit, void *context)
{
    int count = 0;
    BOOL complete = SUCCEEDED(list->GetCount(&count));
    for (int index = 0; index < count; ++index) {
        IAudioSessionControl *control = NULL;
        if (FAILED(list->GetSession(index, &control)) || control == NULL) {
            complete = FALSE;
            continue;
        }
        complete = visit(control, context) && complete;
        control->Release();
    }
    return complete;
}
