// Core Audio as every audio watcher of the engine starts from it: the apartment, the device
// enumerator the watch thread keeps for its life, and the device notices registered on it. The
// notices only count and wake the loop; the rooms above compare the counts with what they saw.
// Used where the system has Core Audio; elsewhere no COM call is ever made.
#include <objbase.h>

#include <audioclient.h>
#include <mmdeviceapi.h>

#include "engine/audio_platform.h"

#include "engine/static_notices.h"
#include "engine/wake_signals.h"
#include "plugin/plugin.h"

AudioPlatform audioPlatform;

// Decided by what the system has, not by the version it reports: a player run in a
// compatibility mode for XP is told 5.1 on a system that has Core Audio all the same. This
// export came with Core Audio, in Windows Vista.
BOOL systemHasCoreAudio(void)
{
    HMODULE kernel = GetModuleHandleA("kernel32.dll");
    return kernel != NULL && GetProcAddress(kernel, "GetTickCount64") != NULL;
}

// A guest in the player's process: a thread with no apartment joins the multithreaded one for
// the call and leaves it again; an apartment the host set up is used as it is, never changed.
HRESULT enterComApartment(void)
{
    if (!pluginState.hasCoreAudio)
        return E_NOTIMPL;
    return CoInitializeEx(NULL, COINIT_MULTITHREADED);
}

void leaveComApartment(HRESULT entered)
{
    // S_FALSE counts too: every successful call is balanced by one CoUninitialize.
    if (SUCCEEDED(entered))
        CoUninitialize();
}

IMMDeviceEnumerator *createDeviceEnumerator(void)
{
    IMMDeviceEnumerator *enumerator = NULL;
    if (FAILED(CoCreateInstance(__uuidof(MMDeviceEnumerator), NULL, CLSCTX_INPROC_SERVER,
                                __uuidof(IMMDeviceEnumerator), (void **)&enumerator)))
        return NULL;
    return enumerator;
}

IMMDeviceEnumerator *borrowDeviceEnumerator(void)
{
    IMMDeviceEnumerator *kept =
        audioPlatform.enumeratorThread == GetCurrentThreadId() ? audioPlatform.deviceEnumerator : NULL;
    if (kept == NULL)
        return createDeviceEnumerator();
    kept->AddRef();
    return kept;
}

// The platform holds it for as long as it is registered; every method only counts and wakes.
struct DeviceNotices : StaticNotices<IMMNotificationClient> {
    HRESULT STDMETHODCALLTYPE OnDeviceStateChanged(LPCWSTR, DWORD) override { return endpointsChanged(); }
    HRESULT STDMETHODCALLTYPE OnDeviceAdded(LPCWSTR) override { return endpointsChanged(); }
    HRESULT STDMETHODCALLTYPE OnDeviceRemoved(LPCWSTR) override { return endpointsChanged(); }
    HRESULT STDMETHODCALLTYPE OnDefaultDeviceChanged(EDataFlow flow, ERole role, LPCWSTR) override
    {
        if (flow != eRender || role != eConsole)
            return S_OK;
        InterlockedIncrement(&audioPlatform.defaultOutputMoves);
        wakeWatchLoop();
        return S_OK;
    }
    // Some drivers tell a jack plugged or pulled only this way: the next look reads the jacks.
    HRESULT STDMETHODCALLTYPE OnPropertyValueChanged(LPCWSTR, const PROPERTYKEY) override
    {
        if (audioPlatform.propertyNoticesWake)
            wakeWatchLoop();
        return S_OK;
    }
    static HRESULT endpointsChanged(void)
    {
        InterlockedIncrement(&audioPlatform.endpointChanges);
        wakeWatchLoop();
        return S_OK;
    }
};

static const DeviceNotices deviceNotices{};

void attachDeviceNotices(void)
{
    if (audioPlatform.deviceEnumerator == NULL) {
        audioPlatform.deviceEnumerator = createDeviceEnumerator();
        audioPlatform.enumeratorThread = GetCurrentThreadId();
    }
    IMMDeviceEnumerator *enumerator = audioPlatform.deviceEnumerator;
    if (enumerator == NULL || audioPlatform.deviceNoticesRegistered)
        return;
    audioPlatform.deviceNoticesRegistered =
        SUCCEEDED(enumerator->RegisterEndpointNotificationCallback(callbackOf(deviceNotices)));
}

void detachDeviceNotices(void)
{
    IMMDeviceEnumerator *enumerator = audioPlatform.deviceEnumerator;
    if (enumerator == NULL)
        return;
    if (audioPlatform.deviceNoticesRegistered &&
        FAILED(enumerator->UnregisterEndpointNotificationCallback(callbackOf(deviceNotices))))
        noteCallbacksMayCome();
    audioPlatform.deviceNoticesRegistered = FALSE;
    audioPlatform.enumeratorThread = 0;
    enumerator->Release();
    audioPlatform.deviceEnumerator = NULL;
}


BOOL audioServiceLostBy(HRESULT result, BOOL fromHeldObject)
{
    BOOL lost = result == AUDCLNT_E_SERVICE_NOT_RUNNING || (fromHeldObject && result == AUDCLNT_E_DEVICE_INVALIDATED);
    if (lost)
        InterlockedExchange(&audioPlatform.serviceLost, 1);
    return lost;
}
