// The simulated outputs' device topology, from the endpoint's connector to the adapter's
// connector and the jack descriptions of its part, and the control-change callbacks registered
// on those parts. Every object is counted while alive; what a description reports is read at
// each call, as a driver answers its jack property from the hardware.
#include "simulated_jacks.h"

#include <objbase.h>

#include <audioclient.h>
#include <devicetopology.h>
#include <mmdeviceapi.h>

#include "counted_object.h"
#include "notice_threads.h"
#include "simulated_speakers.h"

SimulatedJacks simulatedJacks;

// MinGW's headers lack the capability bit.
static const DWORD JACK_PRESENCE_DETECT_CAPABILITY = 0x1;
// The key a driver's jack change comes with; a listener takes any key as a reason to look.
static const PROPERTYKEY JACK_PROPERTY_KEY = {
    {0x1da5d803, 0xd492, 0x4edd, {0x8c, 0x23, 0xe0, 0xc0, 0xff, 0xee, 0x7f, 0x0e}}, 8};  // JackSubType
static const DWORD STEREO_CHANNELS = 0x3;  // front left and right

enum { MAX_JACK_CALLBACKS = 8 };

// The callbacks registered on each device's part. A slot is taken and given back whole, with no
// lock: a notice goes out from a copy, and may reach a callback just unregistered, as on Windows.
static IControlChangeNotify *volatile jackCallbacks[SPEAKER_DEVICE_COUNT][MAX_JACK_CALLBACKS];

static BOOL isMergedEndpoint(LONG device)
{
    return simulatedJacks.merged && device == SPEAKERS;
}

static UINT jackCountOf(LONG device)
{
    return isMergedEndpoint(device) ? SIMULATED_JACKS : 1;
}

// Which of the three a jack of the device is: an endpoint that is not the merged one has only
// the jack that cannot tell its presence.
static LONG jackAt(LONG device, UINT index)
{
    return isMergedEndpoint(device) ? (LONG)index : (LONG)JACK_WITHOUT_PRESENCE_DETECT;
}

static void describeJack(LONG device, UINT index, KSJACK_DESCRIPTION &description)
{
    ZeroMemory(&description, sizeof description);
    description.ChannelMapping = STEREO_CHANNELS;
    LONG jack = jackAt(device, index);
    description.IsConnected = isMergedEndpoint(device) ? simulatedJacks.connected[jack] != 0 : TRUE;
    switch (jack) {
    case JACK_INTERNAL_SPEAKERS:
        description.ConnectionType = eConnTypeOtherAnalog;
        description.GeoLocation = eGeoLocInsideMobileLid;
        description.GenLocation = eGenLocInternal;
        description.PortConnection = ePortConnIntegratedDevice;
        break;
    case JACK_HEADPHONES:
        description.ConnectionType = eConnType3Point5mm;
        description.GeoLocation = eGeoLocLeft;
        description.GenLocation = eGenLocPrimaryBox;
        description.PortConnection = ePortConnJack;
        break;
    default:
        description.ConnectionType = eConnTypeOtherDigital;
        description.GeoLocation = eGeoLocRear;
        description.GenLocation = eGenLocPrimaryBox;
        description.PortConnection = ePortConnJack;
        break;
    }
}

static DWORD jackCapabilities(LONG device, UINT index)
{
    return jackAt(device, index) == JACK_WITHOUT_PRESENCE_DETECT ? 0 : JACK_PRESENCE_DETECT_CAPABILITY;
}

struct LiveJackObjects {
    static volatile LONG &count(void) { return simulatedJacks.liveObjects; }
};
template <typename Interface> using Counted = CountedObject<Interface, LiveJackObjects>;

struct JackDescription : Counted<IKsJackDescription> {
    LONG device;
    explicit JackDescription(LONG index) : device(index) {}
    HRESULT STDMETHODCALLTYPE GetJackCount(UINT *jacks) override
    {
        if (jacks == NULL)
            return E_POINTER;
        *jacks = jackCountOf(device);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetJackDescription(UINT jack, KSJACK_DESCRIPTION *description) override
    {
        InterlockedIncrement(&simulatedJacks.reads);
        if (description == NULL)
            return E_POINTER;
        if (jack >= jackCountOf(device))
            return E_INVALIDARG;
        describeJack(device, jack, *description);
        return S_OK;
    }
};

struct JackDescription2 : Counted<IKsJackDescription2> {
    LONG device;
    explicit JackDescription2(LONG index) : device(index) {}
    HRESULT STDMETHODCALLTYPE GetJackCount(UINT *jacks) override
    {
        if (jacks == NULL)
            return E_POINTER;
        *jacks = jackCountOf(device);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetJackDescription2(UINT jack, KSJACK_DESCRIPTION2 *description) override
    {
        if (description == NULL)
            return E_POINTER;
        if (jack >= jackCountOf(device))
            return E_INVALIDARG;
        description->DeviceStateInfo = 0;
        description->JackCapabilities = jackCapabilities(device, jack);
        return S_OK;
    }
};

template <typename Object> static HRESULT handOut(Object *made, REFIID iid, void **object)
{
    HRESULT result = made->QueryInterface(iid, object);
    made->Release();
    return result;
}

// One slot of the device's table goes from one callback to the other: NULL to a callback adds
// it, a callback to NULL removes it. The count beside follows.
static BOOL swapJackCallback(LONG device, IControlChangeNotify *from, IControlChangeNotify *to)
{
    for (IControlChangeNotify *volatile &slot : jackCallbacks[device]) {
        if (InterlockedCompareExchangePointer((PVOID volatile *)&slot, to, from) == from) {
            InterlockedExchangeAdd(&simulatedJacks.callbacks, to != NULL ? 1 : -1);
            return TRUE;
        }
    }
    return FALSE;
}

// A connector is a part too. The endpoint's side is a software connector with no jacks; the
// adapter's side is the one a driver describes, and the one whose control changes are told.
struct TopologyConnector : Counted<IConnector>, IPart {
    LONG device;
    BOOL adapterSide;
    TopologyConnector(LONG index, BOOL adapter) : device(index), adapterSide(adapter) {}
    ULONG STDMETHODCALLTYPE AddRef() override { return Counted<IConnector>::AddRef(); }
    ULONG STDMETHODCALLTYPE Release() override { return Counted<IConnector>::Release(); }
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void **object) override
    {
        if (IsEqualIID(iid, __uuidof(IPart)))
            return answer(static_cast<IPart *>(this), object);
        return Counted<IConnector>::QueryInterface(iid, object);
    }
    HRESULT STDMETHODCALLTYPE GetConnectedTo(IConnector **other) override
    {
        if (other == NULL)
            return E_POINTER;
        *other = new TopologyConnector(device, !adapterSide);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE IsConnected(BOOL *connected) override
    {
        if (connected == NULL)
            return E_POINTER;
        *connected = TRUE;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Activate(DWORD, REFIID iid, void **object) override
    {
        if (object == NULL)
            return E_POINTER;
        *object = NULL;
        if (adapterSide && IsEqualIID(iid, __uuidof(IKsJackDescription)))
            return handOut(new JackDescription(device), iid, object);
        if (adapterSide && IsEqualIID(iid, __uuidof(IKsJackDescription2)))
            return handOut(new JackDescription2(device), iid, object);
        return E_NOINTERFACE;
    }
    HRESULT STDMETHODCALLTYPE RegisterControlChangeCallback(REFGUID iid, IControlChangeNotify *callback) override
    {
        noteRegistration();
        if (callback == NULL)
            return E_POINTER;
        if (!adapterSide || !IsEqualIID(iid, __uuidof(IKsJackDescription)))
            return E_INVALIDARG;
        if (!swapJackCallback(device, NULL, callback))
            return E_OUTOFMEMORY;
        // The part holds the callback while it is registered.
        callback->AddRef();
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE UnregisterControlChangeCallback(IControlChangeNotify *callback) override
    {
        if (callback == NULL)
            return E_INVALIDARG;
        BOOL found = swapJackCallback(device, callback, NULL);
        noteUnregistration();
        if (!found)
            return E_NOTFOUND;
        callback->Release();
        return S_OK;
    }
    // Nothing else is asked of a connector or its part.
    HRESULT STDMETHODCALLTYPE GetType(ConnectorType *) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetDataFlow(DataFlow *) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE ConnectTo(IConnector *) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Disconnect() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetConnectorIdConnectedTo(LPWSTR *) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetDeviceIdConnectedTo(LPWSTR *) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetName(LPWSTR *) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetLocalId(UINT *) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetGlobalId(LPWSTR *) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetPartType(PartType *) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetSubType(GUID *) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetControlInterfaceCount(UINT *) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetControlInterface(UINT, IControlInterface **) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE EnumPartsIncoming(IPartsList **) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE EnumPartsOutgoing(IPartsList **) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetTopologyObjects(IDeviceTopology **) override { return E_NOTIMPL; }
};

struct Topology : Counted<IDeviceTopology> {
    LONG device;
    explicit Topology(LONG index) : device(index) {}
    HRESULT STDMETHODCALLTYPE GetConnectorCount(UINT *count) override
    {
        if (count == NULL)
            return E_POINTER;
        *count = 1;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetConnector(UINT index, IConnector **connector) override
    {
        if (connector == NULL)
            return E_POINTER;
        *connector = index == 0 ? new TopologyConnector(device, FALSE) : NULL;
        return *connector != NULL ? S_OK : E_INVALIDARG;
    }
    // Nothing else is asked of a topology.
    HRESULT STDMETHODCALLTYPE GetSubunitCount(UINT *) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetSubunit(UINT, ISubUnit **) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetPartById(UINT, IPart **) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetDeviceId(LPWSTR *) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetSignalPath(IPart *, IPart *, BOOL, IPartsList **) override { return E_NOTIMPL; }
};

BOOL isTopologyInterface(REFIID iid)
{
    return IsEqualIID(iid, __uuidof(IDeviceTopology));
}

HRESULT activateTopology(LONG device, REFIID iid, void **object)
{
    *object = NULL;
    InterlockedIncrement(&simulatedJacks.topologies);
    if (simulatedJacks.topologyFails)
        return E_NOINTERFACE;
    return handOut(new Topology(device), iid, object);
}

void resetSimulatedJacks(void)
{
    for (auto &slots : jackCallbacks) {
        for (IControlChangeNotify *volatile &slot : slots)
            slot = NULL;
    }
    simulatedJacks.callbacks = 0;
    simulatedJacks.merged = 0;
    for (volatile LONG &connected : simulatedJacks.connected)
        connected = 1;
    simulatedJacks.telling = JACK_TELLS_BOTH;
    simulatedJacks.topologyFails = 0;
    simulatedJacks.topologies = 0;
    simulatedJacks.reads = 0;
}

void mergeSpeakersAndHeadphones(BOOL merged)
{
    for (volatile LONG &connected : simulatedJacks.connected)
        connected = 1;
    simulatedJacks.merged = merged ? 1 : 0;
}

static void tellJackCallbacks(LONG device)
{
    IControlChangeNotify *callbacks[MAX_JACK_CALLBACKS];
    LONG count = 0;
    beginTelling();
    for (IControlChangeNotify *callback : jackCallbacks[device]) {
        if (callback != NULL)
            callbacks[count++] = callback;
    }
    // A change the hardware made has no process behind it.
    for (LONG i = 0; i < count; ++i) {
        IControlChangeNotify *callback = callbacks[i];
        deliverNotice([=] { (void)callback->OnNotify(0, NULL); });
    }
    endTelling();
}

// Whatever the driver reports anew is told, even of a jack that cannot tell its presence: a
// listener must still find its value meaningless when it looks.
void setJackConnected(LONG jack, BOOL connected)
{
    LONG now = connected ? 1 : 0;
    if (InterlockedExchange(&simulatedJacks.connected[jack], now) == now || !simulatedJacks.merged ||
        simulatedSpeakers.silent)
        return;
    LONG telling = simulatedJacks.telling;
    if (telling == JACK_TELLS_BOTH || telling == JACK_TELLS_CONTROL)
        tellJackCallbacks(SPEAKERS);
    if (telling == JACK_TELLS_BOTH || telling == JACK_TELLS_PROPERTY)
        tellPropertyValueChanged(SPEAKERS, JACK_PROPERTY_KEY);
}
