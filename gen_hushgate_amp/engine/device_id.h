// Audio endpoint ids as the output, the player's sessions and the microphones keep them.
#pragma once
#include <windows.h>

struct IMMDevice;

enum { DEVICE_ID_CAPACITY = 256 };

// A device's id, kept only when it fits whole: a cut one would name no device.
BOOL readDeviceId(IMMDevice *device, WCHAR (&id)[DEVICE_ID_CAPACITY]);
// Device ids are compared code unit by code unit, whatever the user's locale.
BOOL sameDeviceId(const WCHAR *one, const WCHAR *other);
