// Stand-in jacks behind the simulated outputs, reached as Windows documents it: the endpoint's
// IDeviceTopology, its connector 0, the connector on the adapter's side it is connected to, that
// connector's IPart, and the part's IKsJackDescription and IKsJackDescription2. Many laptops'
// drivers serve the built-in speakers and the headphone jack as one endpoint ("Speakers/
// Headphones"): pulling the headphones changes no endpoint, only the jack's presence, and the
// driver moves the sound to the speakers by itself. Merged, the speakers' endpoint is that one.
// Like a driver, a change is told to the parts' control-change callbacks for IKsJackDescription
// and as a property change of the endpoint, as the driver in use does it; each registered one is
// called outside any lock, as notice_threads.h delivers them.
#pragma once
#include <windows.h>

enum SimulatedJack {
    JACK_INTERNAL_SPEAKERS,       // always connected; tells its presence
    JACK_HEADPHONES,              // tells its presence; plugged in or pulled
    JACK_WITHOUT_PRESENCE_DETECT, // a line out whose driver cannot tell: what it reports means nothing
    SIMULATED_JACKS,
};

enum JackTelling {
    JACK_TELLS_BOTH,      // the part's control-change callbacks, then the endpoint's property notice
    JACK_TELLS_CONTROL,   // the control-change callbacks alone
    JACK_TELLS_PROPERTY,  // the endpoint's property notice alone
    JACK_TELLS_NOTHING,   // a driver that tells nobody: only a read sees it
};

struct SimulatedJacks {
    volatile LONG merged;                      // nonzero: the speakers' endpoint carries the three jacks
    volatile LONG connected[SIMULATED_JACKS];  // IsConnected as the driver reports it
    volatile LONG telling;                     // a JackTelling
    volatile LONG topologyFails;               // nonzero: IMMDevice::Activate(IDeviceTopology) fails
    volatile LONG callbacks;                   // IControlChangeNotify registered now
    volatile LONG topologies;                  // IDeviceTopology activations
    volatile LONG reads;                       // IKsJackDescription::GetJackDescription calls
    volatile LONG liveObjects;  // topologies, connectors, parts and jack descriptions not yet released
};
extern SimulatedJacks simulatedJacks;

// Not merged; every jack connected; both ways of telling; nothing registered; counts from 0.
void resetSimulatedJacks(void);
// Merged: the speakers' endpoint is "Speakers/Headphones", with the headphones plugged in. Not:
// every render endpoint has one jack that does not tell its presence (a USB or HDMI output).
void mergeSpeakersAndHeadphones(BOOL merged);
// Reported, and told as the driver tells.
void setJackConnected(LONG jack, BOOL connected);
inline void pullHeadphoneJack(void) { setJackConnected(JACK_HEADPHONES, FALSE); }
inline void plugInHeadphoneJack(void) { setJackConnected(JACK_HEADPHONES, TRUE); }

// For the simulated device's Activate.
BOOL isTopologyInterface(REFIID iid);
HRESULT activateTopology(LONG device, REFIID iid, void **object);
