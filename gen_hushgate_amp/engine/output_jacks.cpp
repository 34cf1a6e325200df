// Sees headphones pulled from an output that stays: the jack reports its presence where the
// driver can tell it (KSJACK_DESCRIPTION2's presence detection, Windows 7 and later); where it
// cannot, IsConnected is always TRUE and tells nothing, so such jacks are never read. The path
// to the jacks is the one Windows documents: the endpoint's device topology, its connector, the
// adapter's connector it is connected to, and that part's jack descriptions. The driver tells a
// change to the part's control-change callbacks, and some drivers as a property change of the
// endpoint (audio_platform's device notices); both only wake the loop, whose look reads them.
#include <objbase.h>

#include <devicetopology.h>
#include <mmdeviceapi.h>

#include "engine/output_jacks.h"

#include "engine/audio_platform.h"
#include "engine/static_notices.h"
#include "engine/wake_signals.h"

OutputJacks outputJacks;

// Ksmedia.h's: the jack can tell whether something is plugged into it.
static const DWORD JACK_TELLS_PRESENCE = 0x00000001;

struct JackNotices : StaticNotices<IControlChangeNotify> {
    HRESULT STDMETHODCALLTYPE OnNotify(DWORD, LPCGUID) override
    {
        wakeWatchLoop();
        return S_OK;
    }
};

static const JackNotices jackNotices{};

void forgetOutputJacks(void)
{
    if (outputJacks.part != NULL) {
        if (FAILED(outputJacks.part->UnregisterControlChangeCallback(callbackOf(jackNotices))))
            noteCallbacksMayCome();
        outputJacks.part->Release();
        outputJacks.part = NULL;
    }
    if (outputJacks.jacks != NULL) {
        outputJacks.jacks->Release();
        outputJacks.jacks = NULL;
    }
    outputJacks.readFor[0] = L'\0';
    outputJacks.detecting = outputJacks.connected = 0;
    followPropertyNotices(FALSE);
}

// The part on the adapter's side of the endpoint's connector: the one that has the jacks.
static IPart *adapterPartOf(IMMDevice *device)
{
    IDeviceTopology *topology = NULL;
    if (FAILED(device->Activate(__uuidof(IDeviceTopology), CLSCTX_ALL, NULL, (void **)&topology)))
        return NULL;
    IConnector *endpointSide = NULL;
    IConnector *adapterSide = NULL;
    IPart *part = NULL;
    if (SUCCEEDED(topology->GetConnector(0, &endpointSide))) {
        if (SUCCEEDED(endpointSide->GetConnectedTo(&adapterSide))) {
            (void)adapterSide->QueryInterface(__uuidof(IPart), (void **)&part);
            adapterSide->Release();
        }
        endpointSide->Release();
    }
    topology->Release();
    return part;
}

// The jacks that tell their presence. Without IKsJackDescription2 (Vista) none can be trusted.
static DWORD presenceTellingJacks(IPart *part)
{
    IKsJackDescription2 *described = NULL;
    if (FAILED(part->Activate(CLSCTX_INPROC_SERVER, __uuidof(IKsJackDescription2), (void **)&described)))
        return 0;
    UINT count = 0;
    DWORD telling = 0;
    if (SUCCEEDED(described->GetJackCount(&count))) {
        for (UINT jack = 0; jack < count && jack < MAX_JACKS_READ; ++jack) {
            KSJACK_DESCRIPTION2 description;
            if (SUCCEEDED(described->GetJackDescription2(jack, &description)) &&
                (description.JackCapabilities & JACK_TELLS_PRESENCE) != 0)
                telling |= 1UL << jack;
        }
    }
    described->Release();
    return telling;
}

// Keeps the jack descriptions only where a jack tells its presence, and the part with them
// while its notices are registered; an endpoint that cannot be followed this way is not
// walked again until the output or the music changes.
static void openJacksOf(IMMDevice *device)
{
    IPart *part = adapterPartOf(device);
    if (part == NULL)
        return;
    outputJacks.detecting = presenceTellingJacks(part);
    if (outputJacks.detecting != 0 &&
        FAILED(part->Activate(CLSCTX_INPROC_SERVER, __uuidof(IKsJackDescription), (void **)&outputJacks.jacks)))
        outputJacks.jacks = NULL;
    if (outputJacks.jacks != NULL && SUCCEEDED(part->RegisterControlChangeCallback(__uuidof(IKsJackDescription),
                                                                                   callbackOf(jackNotices)))) {
        outputJacks.part = part;
        return;
    }
    part->Release();
}

// Only the jacks that tell their presence; FALSE when a read fails, which tells nothing. The
// built-in ones are named apart: nothing can be pulled from built-in speakers, and a driver may
// call them disconnected while headphones are in, which would read as a pull.
static BOOL readConnectedJacks(DWORD &connected, DWORD &builtIn)
{
    connected = builtIn = 0;
    for (DWORD jack = 0; jack < MAX_JACKS_READ; ++jack) {
        if ((outputJacks.detecting & (1UL << jack)) == 0)
            continue;
        KSJACK_DESCRIPTION description;
        if (FAILED(outputJacks.jacks->GetJackDescription(jack, &description)))
            return FALSE;
        if (description.IsConnected)
            connected |= 1UL << jack;
        if (description.PortConnection == ePortConnIntegratedDevice)
            builtIn |= 1UL << jack;
    }
    return TRUE;
}

static void learnJacksOf(IMMDeviceEnumerator *enumerator, const WCHAR *deviceId)
{
    forgetOutputJacks();
    IMMDevice *device = NULL;
    // An endpoint that cannot be had now is asked again at the next look.
    if (FAILED(enumerator->GetDevice(deviceId, &device)) || device == NULL)
        return;
    (void)lstrcpynW(outputJacks.readFor, deviceId, DEVICE_ID_CAPACITY);
    openJacksOf(device);
    device->Release();
    if (outputJacks.jacks == NULL)
        return;
    // Jacks not learnt whole are not followed at all.
    DWORD builtIn = 0;
    if (!readConnectedJacks(outputJacks.connected, builtIn))
        builtIn = outputJacks.detecting;
    outputJacks.detecting &= ~builtIn;
    outputJacks.connected &= ~builtIn;
    followPropertyNotices(TRUE);
}

BOOL outputJackPulled(IMMDeviceEnumerator *enumerator, const WCHAR *deviceId)
{
    if (deviceId[0] == L'\0') {
        forgetOutputJacks();
        return FALSE;
    }
    if (!sameDeviceId(outputJacks.readFor, deviceId)) {
        learnJacksOf(enumerator, deviceId);
        return FALSE;
    }
    DWORD connected = 0, builtIn = 0;
    if (outputJacks.jacks == NULL || !readConnectedJacks(connected, builtIn))
        return FALSE;
    BOOL pulled = (outputJacks.connected & ~connected) != 0;
    outputJacks.connected = connected;
    return pulled;
}
