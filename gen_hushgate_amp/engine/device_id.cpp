// Audio endpoint ids, read whole and compared exactly: an id names a device only as a whole.
#include "engine/device_id.h"

#include <objbase.h>

#include <mmdeviceapi.h>

BOOL sameDeviceId(const WCHAR *one, const WCHAR *other)
{
    for (; *one == *other; ++one, ++other) {
        if (*one == L'\0')
            return TRUE;
    }
    return FALSE;
}

BOOL readDeviceId(IMMDevice *device, WCHAR (&id)[DEVICE_ID_CAPACITY])
{
    id[0] = L'\0';
    LPWSTR text = NULL;
    BOOL read = SUCCEEDED(device->GetId(&text)) && text != NULL && lstrlenW(text) < DEVICE_ID_CAPACITY;
    if (read)
        (void)lstrcpynW(id, text, DEVICE_ID_CAPACITY);
    CoTaskMemFree(text);
    return read;
}
