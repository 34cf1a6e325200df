// The jacks of the output the music plays on. Many laptops' drivers serve the built-in
// speakers and the headphone jack as one endpoint ("Speakers/Headphones"): pulling the
// headphones changes no endpoint, only the presence the jack reports, and the driver moves the
// sound to the speakers by itself. Only the thread that polls touches it; the jack's notices
// only wake the loop.
#pragma once
#include <windows.h>

#include "engine/device_id.h"

struct IMMDeviceEnumerator;
struct IPart;
struct IKsJackDescription;

enum { MAX_JACKS_READ = 32 };

struct OutputJacks {
    WCHAR readFor[DEVICE_ID_CAPACITY];  // the endpoint whose jacks were opened; empty: none yet
    IKsJackDescription *jacks;  // NULL where no jack of it tells its presence
    IPart *part;                // kept while its jack notices are registered
    DWORD detecting;            // the jacks that tell their presence, one bit each
    DWORD connected;            // of those, the ones connected at the last read
};
extern OutputJacks outputJacks;

// TRUE when a jack of the endpoint that tells its presence was connected at the last read and
// is not now. The first read of an endpoint only learns what is connected.
BOOL outputJackPulled(IMMDeviceEnumerator *enumerator, const WCHAR *deviceId);
// Releases what is held for the endpoint; its jacks are learnt afresh at the next read.
void forgetOutputJacks(void);
