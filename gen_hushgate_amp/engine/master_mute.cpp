// The master mute: the first sound card's mixer mute under a lock both threads take, and from
// Vista on the default speakers' own mute beside it. Read by the pause conditions on both
// threads; cleared by the filter on a manual start through the same mixer access.
#include "engine/master_mute.h"

#include "engine/endpoint_mute.h"
#include "engine/wake_signals.h"
#include "plugin/plugin.h"

MasterMute masterMute;

static_assert(sizeof(MIXERCAPSA) == 48, "MIXERCAPSA layout");
static_assert(sizeof(MIXERLINEA) == 168, "MIXERLINEA layout");
static_assert(sizeof(MIXERLINECONTROLSA) == 24, "MIXERLINECONTROLSA layout");
static_assert(sizeof(MIXERCONTROLA) == 148, "MIXERCONTROLA layout");
static_assert(sizeof(MIXERCONTROLDETAILS) == 24, "MIXERCONTROLDETAILS layout");

// The lock lives as long as a thread may use the mixer: a thread abandoned by quit keeps it.
void prepareMixerLock(void)
{
    if (masterMute.mixerLockReady)
        return;
    InitializeCriticalSection(&masterMute.mixerLock);
    masterMute.mixerLockReady = 1;
    // Nothing touches the mixer before its lock is made, nor after the lock goes with the mixer
    // closed: the control is looked for afresh from here.
    masterMute.muteControlId = MUTE_CONTROL_UNLOCATED;
}

void deleteMixerLock(void)
{
    if (!masterMute.mixerLockReady)
        return;
    DeleteCriticalSection(&masterMute.mixerLock);
    masterMute.mixerLockReady = 0;
}

static void noteMixerLockTaken(void)
{
    if (masterMute.mixerLockDepth++ == 0)
        masterMute.mixerLockOwner = GetCurrentThreadId();
}

void lockMixer(void)
{
    EnterCriticalSection(&masterMute.mixerLock);
    noteMixerLockTaken();
}

BOOL tryLockMixer(void)
{
    if (!masterMute.mixerLockReady || !TryEnterCriticalSection(&masterMute.mixerLock))
        return FALSE;
    noteMixerLockTaken();
    return TRUE;
}

void unlockMixer(void)
{
    if (--masterMute.mixerLockDepth == 0)
        masterMute.mixerLockOwner = 0;
    LeaveCriticalSection(&masterMute.mixerLock);
}

BOOL mixerBusyOnThisThread(void)
{
    return masterMute.mixerLockOwner == GetCurrentThreadId();
}

// Every mixer call below runs under mixerLock; none of them waits on the other thread.
static BOOL openMixer(void)
{
    if (masterMute.mixerHandle != NULL)
        return TRUE;
    // Changes of the mute are announced to the signal window, where the platform sends them.
    HWND notices = signalWindowHandle();
    HMIXER opened = NULL;
    if (mixerOpen(&opened, 0, (DWORD_PTR)notices, 0, notices != NULL ? CALLBACK_WINDOW : 0) != MMSYSERR_NOERROR)
        return FALSE;
    masterMute.mixerHandle = opened;
    return mixerGetDevCapsA((UINT_PTR)opened, &masterMute.mixerCaps, sizeof masterMute.mixerCaps) ==
           MMSYSERR_NOERROR;
}

static BOOL locateMuteControl(void)
{
    if (masterMute.muteControlId != MUTE_CONTROL_UNLOCATED)
        return TRUE;
    if (!openMixer())
        return FALSE;
    HMIXEROBJ mixer = (HMIXEROBJ)masterMute.mixerHandle;

    MIXERLINEA line = {};
    line.cbStruct = sizeof line;
    line.dwComponentType = MIXERLINE_COMPONENTTYPE_DST_SPEAKERS;
    if (mixerGetLineInfoA(mixer, &line, MIXER_OBJECTF_HMIXER | MIXER_GETLINEINFOF_COMPONENTTYPE) !=
        MMSYSERR_NOERROR)
        return FALSE;

    MIXERCONTROLA control = {};
    control.cbStruct = sizeof control;
    MIXERLINECONTROLSA controls = {};
    controls.cbStruct = sizeof controls;
    controls.dwLineID = line.dwLineID;
    controls.dwControlType = MIXERCONTROL_CONTROLTYPE_MUTE;
    controls.cControls = 1;
    controls.cbmxctrl = sizeof control;
    controls.pamxctrl = &control;
    if (mixerGetLineControlsA(mixer, &controls, MIXER_OBJECTF_HMIXER | MIXER_GETLINECONTROLSF_ONEBYTYPE) !=
        MMSYSERR_NOERROR)
        return FALSE;

    masterMute.muteControlId = control.dwControlID;
    return TRUE;
}

static void releaseMixerLocked(void)
{
    masterMute.muteControlId = MUTE_CONTROL_UNLOCATED;
    if (masterMute.mixerHandle != NULL)
        (void)mixerClose(masterMute.mixerHandle);
    masterMute.mixerHandle = NULL;
}

// The control is treated as uniform over all its channels. A device that went away (a USB
// sound card unplugged) fails every call on its old handle: the mixer is then forgotten, so
// that the next use opens and locates afresh.
static BOOL muteControlDetails(MIXERCONTROLDETAILS_BOOLEAN *value, BOOL write)
{
    if (!locateMuteControl())
        return FALSE;
    MIXERCONTROLDETAILS details = {};
    details.cbStruct = sizeof details;
    details.dwControlID = masterMute.muteControlId;
    details.cChannels = 1;
    details.cMultipleItems = 0;
    details.cbDetails = sizeof *value;
    details.paDetails = value;
    HMIXEROBJ mixer = (HMIXEROBJ)masterMute.mixerHandle;
    MMRESULT result = write ? mixerSetControlDetails(mixer, &details, MIXER_OBJECTF_HMIXER | MIXER_SETCONTROLDETAILSF_VALUE)
                            : mixerGetControlDetailsA(mixer, &details, MIXER_OBJECTF_HMIXER | MIXER_GETCONTROLDETAILSF_VALUE);
    if (result == MMSYSERR_NOERROR)
        return TRUE;
    releaseMixerLocked();
    return FALSE;
}

static LONG readMixerMute(void)
{
    MIXERCONTROLDETAILS_BOOLEAN value = {};
    lockMixer();
    BOOL read = muteControlDetails(&value, FALSE);
    unlockMixer();
    return read ? (LONG)value.fValue : 0;
}

static BOOL writeMixerMute(LONG value)
{
    MIXERCONTROLDETAILS_BOOLEAN wanted = {};
    wanted.fValue = value;
    lockMixer();
    BOOL written = muteControlDetails(&wanted, TRUE);
    unlockMixer();
    return written;
}

// With Core Audio the mixer's mute is the player's own session mute (a user who mutes the
// player in the volume mixer still gets the pause), and the speakers' own mute counts as well.
LONG readMasterMute(void)
{
    LONG mixerMute = readMixerMute();
    if (mixerMute != 0 || !pluginState.hasCoreAudio)
        return mixerMute;
    return readEndpointMute();
}

BOOL masterMuteMayBeSet(void)
{
    if (readMixerMute() != 0)
        return TRUE;
    return pluginState.hasCoreAudio && readEndpointMuteState() != MUTE_CLEAR;
}

// Clears every mute that is set, so that the music a user starts is heard.
BOOL writeMasterMute(LONG value)
{
    BOOL written = writeMixerMute(value);
    if (pluginState.hasCoreAudio)
        written = writeEndpointMute(value) && written;
    return written;
}

void releaseMixer(void)
{
    lockMixer();
    releaseMixerLocked();
    unlockMixer();
}

// The player's own volume steps come here too: only the mute is worth a poll.
LRESULT mixerControlSignal(WPARAM, LPARAM controlId)
{
    if ((DWORD)controlId == masterMute.muteControlId)
        wakeWatchLoop();
    return 0;
}

LRESULT mixerLineSignal(WPARAM, LPARAM)
{
    wakeWatchLoop();
    return 0;
}
