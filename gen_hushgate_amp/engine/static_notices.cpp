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
