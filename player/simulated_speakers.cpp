// The simulated device enumerator, its devices and their volume objects. Objects are counted
// while alive, so that a caller can see every reference it took released again.
#include "simulated_speakers.h"

#include <objbase.h>

#include <endpointvolume.h>
#include <audioclient.h>
#include <mmdeviceapi.h>

#include "import_patch.h"

SimulatedSpeakers simulatedSpeakers;

static HRESULT(WINAPI *systemCoCreateInstance)(REFCLSID, LPUNKNOWN, DWORD, REFIID, LPVOID *);

// Counts the call and answers whether the step is to fail.
static BOOL stepFails(SpeakerStep step)
{
    InterlockedIncrement(&simulatedSpeakers.calls[step]);
    return simulatedSpeakers.failing[step] != 0;
}

// Reference counting shared by the three kinds of object.
template <typename Interface> struct Counted : Interface {
    LONG references = 1;
    Counted() { InterlockedIncrement(&simulatedSpeakers.liveObjects); }
    virtual ~Counted() { InterlockedDecrement(&simulatedSpeakers.liveObjects); }
    ULONG STDMETHODCALLTYPE AddRef() override { return InterlockedIncrement(&references); }
    ULONG STDMETHODCALLTYPE Release() override
    {
        LONG left = InterlockedDecrement(&references);
        if (left == 0)
            delete this;
        return left;
    }
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

struct SpeakerVolume : Counted<IAudioEndpointVolume> {
    LONG device;
    explicit SpeakerVolume(LONG index) : device(index) {}
    HRESULT STDMETHODCALLTYPE GetMute(BOOL *muted) override
    {
        if (stepFails(SPEAKER_STEP_GET_MUTE))
            return AUDCLNT_E_DEVICE_INVALIDATED;
        *muted = simulatedSpeakers.muted[device] != 0;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE SetMute(BOOL muted, LPCGUID) override
    {
        if (stepFails(SPEAKER_STEP_SET_MUTE))
            return AUDCLNT_E_DEVICE_INVALIDATED;
        simulatedSpeakers.muted[device] = muted ? 1 : 0;
        return S_OK;
    }
    // Nothing else is asked of the speakers.
    HRESULT STDMETHODCALLTYPE RegisterControlChangeNotify(IAudioEndpointVolumeCallback *) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE UnregisterControlChangeNotify(IAudioEndpointVolumeCallback *) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetChannelCount(UINT *) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE SetMasterVolumeLevel(float, LPCGUID) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE SetMasterVolumeLevelScalar(float, LPCGUID) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetMasterVolumeLevel(float *) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetMasterVolumeLevelScalar(float *) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE SetChannelVolumeLevel(UINT, float, LPCGUID) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE SetChannelVolumeLevelScalar(UINT, float, LPCGUID) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetChannelVolumeLevel(UINT, float *) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetChannelVolumeLevelScalar(UINT, float *) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetVolumeStepInfo(UINT *, UINT *) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE VolumeStepUp(LPCGUID) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE VolumeStepDown(LPCGUID) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE QueryHardwareSupport(DWORD *) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetVolumeRange(float *, float *, float *) override { return E_NOTIMPL; }
};

struct SpeakerDevice : Counted<IMMDevice> {
    LONG device;
    explicit SpeakerDevice(LONG index) : device(index) {}
    HRESULT STDMETHODCALLTYPE Activate(REFIID iid, DWORD, PROPVARIANT *, void **object) override
    {
        *object = NULL;
        if (stepFails(SPEAKER_STEP_ACTIVATE))
            return AUDCLNT_E_DEVICE_INVALIDATED;
        SpeakerVolume *volume = new SpeakerVolume(device);
        HRESULT result = volume->QueryInterface(iid, object);
        volume->Release();
        return result;
    }
    HRESULT STDMETHODCALLTYPE OpenPropertyStore(DWORD, IPropertyStore **) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetId(LPWSTR *) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetState(DWORD *state) override
    {
        *state = DEVICE_STATE_ACTIVE;
        return S_OK;
    }
};

struct SpeakerEnumerator : Counted<IMMDeviceEnumerator> {
    HRESULT STDMETHODCALLTYPE GetDefaultAudioEndpoint(EDataFlow flow, ERole, IMMDevice **device) override
    {
        *device = NULL;
        if (stepFails(SPEAKER_STEP_DEFAULT_DEVICE))
            return E_OUTOFMEMORY;
        LONG index = simulatedSpeakers.defaultDevice;
        if (flow != eRender || index == NO_DEFAULT_SPEAKERS)
            return E_NOTFOUND;
        *device = new SpeakerDevice(index);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE EnumAudioEndpoints(EDataFlow, DWORD, IMMDeviceCollection **) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetDevice(LPCWSTR, IMMDevice **) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE RegisterEndpointNotificationCallback(IMMNotificationClient *) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE UnregisterEndpointNotificationCallback(IMMNotificationClient *) override { return E_NOTIMPL; }
};

static HRESULT WINAPI speakerAwareCoCreateInstance(REFCLSID clsid, LPUNKNOWN outer, DWORD context, REFIID iid,
                                                   LPVOID *object)
{
    if (!IsEqualCLSID(clsid, __uuidof(MMDeviceEnumerator)) || simulatedSpeakers.passThrough)
        return systemCoCreateInstance(clsid, outer, context, iid, object);
    *object = NULL;
    if (stepFails(SPEAKER_STEP_CREATE))
        return REGDB_E_CLASSNOTREG;
    SpeakerEnumerator *enumerator = new SpeakerEnumerator;
    HRESULT result = enumerator->QueryInterface(iid, object);
    enumerator->Release();
    return result;
}

BOOL interceptSpeakers(HMODULE module)
{
    return interceptImport(module, "ole32.dll", "CoCreateInstance", speakerAwareCoCreateInstance,
                           systemCoCreateInstance);
}

void resetSimulatedSpeakers(void)
{
    for (LONG index = 0; index < SPEAKER_DEVICE_COUNT; ++index)
        simulatedSpeakers.muted[index] = 0;
    simulatedSpeakers.defaultDevice = 0;
    simulatedSpeakers.passThrough = 0;
    for (int step = 0; step < SPEAKER_STEP_COUNT; ++step) {
        simulatedSpeakers.failing[step] = 0;
        simulatedSpeakers.calls[step] = 0;
    }
}

void setSpeakersMuted(BOOL muted)
{
    LONG index = simulatedSpeakers.defaultDevice;
    if (index != NO_DEFAULT_SPEAKERS)
        simulatedSpeakers.muted[index] = muted ? 1 : 0;
}

BOOL speakersMuted(void)
{
    LONG index = simulatedSpeakers.defaultDevice;
    return index != NO_DEFAULT_SPEAKERS && simulatedSpeakers.muted[index] != 0;
}
