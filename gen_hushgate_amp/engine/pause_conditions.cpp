// Whether playback is to be held now: the screen saver, the workstation lock and the master
// mute, each switched by its setting. Asked by the watch loop and by the transport filter,
// which also releases the mute through the same mixer access.
#include "engine/engine.h"
#include "plugin/plugin.h"

MasterMute masterMute = {NULL, MUTE_CONTROL_UNLOCATED, {}};

static_assert(sizeof(MIXERCAPSA) == 48, "MIXERCAPSA layout");
static_assert(sizeof(MIXERLINEA) == 168, "MIXERLINEA layout");
static_assert(sizeof(MIXERLINECONTROLSA) == 24, "MIXERLINECONTROLSA layout");
static_assert(sizeof(MIXERCONTROLA) == 148, "MIXERCONTROLA layout");
static_assert(sizeof(MIXERCONTROLDETAILS) == 24, "MIXERCONTROLDETAILS layout");

static const DWORD OLD_SCREEN_SAVER_PROBE_BELOW = 5;

static BOOL openMixer(void)
{
    if (masterMute.mixerHandle != NULL)
        return TRUE;
    HMIXER opened = NULL;
    if (mixerOpen(&opened, 0, 0, 0, 0) != MMSYSERR_NOERROR)
        return FALSE;
    // Both threads may get here at once; the one that loses closes its own handle.
    if (InterlockedCompareExchangePointer((PVOID volatile *)&masterMute.mixerHandle, opened, NULL) != NULL) {
        (void)mixerClose(opened);
        return TRUE;
    }
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

    // Published only now, after the handle it belongs to.
    masterMute.muteControlId = control.dwControlID;
    return TRUE;
}

// The control is treated as uniform over all its channels.
static MIXERCONTROLDETAILS muteControlDetails(MIXERCONTROLDETAILS_BOOLEAN *value)
{
    MIXERCONTROLDETAILS details = {};
    details.cbStruct = sizeof details;
    details.dwControlID = masterMute.muteControlId;
    details.cChannels = 1;
    details.cMultipleItems = 0;
    details.cbDetails = sizeof *value;
    details.paDetails = value;
    return details;
}

static LONG readMixerMute(void)
{
    if (!locateMuteControl())
        return 0;
    MIXERCONTROLDETAILS_BOOLEAN value = {};
    MIXERCONTROLDETAILS details = muteControlDetails(&value);
    if (mixerGetControlDetailsA((HMIXEROBJ)masterMute.mixerHandle, &details,
                                MIXER_OBJECTF_HMIXER | MIXER_GETCONTROLDETAILSF_VALUE) != MMSYSERR_NOERROR) {
        // A device that went away (a USB sound card unplugged) fails every call on its old
        // handle: forget both, so that the next use opens and locates afresh.
        releaseMixer();
        return 0;
    }
    return value.fValue;
}

static BOOL writeMixerMute(LONG value)
{
    if (!locateMuteControl())
        return FALSE;
    MIXERCONTROLDETAILS_BOOLEAN wanted = {};
    wanted.fValue = value;
    MIXERCONTROLDETAILS details = muteControlDetails(&wanted);
    if (mixerSetControlDetails((HMIXEROBJ)masterMute.mixerHandle, &details,
                               MIXER_OBJECTF_HMIXER | MIXER_SETCONTROLDETAILSF_VALUE) != MMSYSERR_NOERROR) {
        releaseMixer();
        return FALSE;
    }
    return TRUE;
}

// On Vista and later the mixer's mute is the player's own session mute (a user who mutes the
// player in the volume mixer still gets the pause), and the speakers' own mute counts as well.
LONG readMasterMute(void)
{
    LONG mixerMute = readMixerMute();
    if (mixerMute != 0 || !endpointMuteApplies())
        return mixerMute;
    return readEndpointMute();
}

// Clears every mute that is set, so that the music a user starts is heard.
BOOL writeMasterMute(LONG value)
{
    BOOL written = writeMixerMute(value);
    if (endpointMuteApplies())
        written = writeEndpointMute(value) && written;
    return written;
}

void releaseMixer(void)
{
    // The control id goes first, so that no reader pairs it with a closed handle.
    masterMute.muteControlId = MUTE_CONTROL_UNLOCATED;
    HMIXER open = (HMIXER)InterlockedExchangePointer((PVOID volatile *)&masterMute.mixerHandle, NULL);
    if (open != NULL)
        (void)mixerClose(open);
}

BOOL isScreenSaverRunning(void)
{
    if (pluginState.osMajorVersion >= OLD_SCREEN_SAVER_PROBE_BELOW) {
        BOOL running = FALSE;
        (void)SystemParametersInfoA(SPI_GETSCREENSAVERRUNNING, 0, &running, 0);
        return running != FALSE;
    }
    HDESK screenSaver = OpenDesktopA("screen-saver", 0, FALSE, DESKTOP_ENUMERATE);
    if (screenSaver == NULL)
        return FALSE;
    (void)CloseDesktop(screenSaver);
    return TRUE;
}

BOOL isWorkstationLocked(void)
{
    // The desktop that has the input is probed, never "Default": switching to the desktop the
    // user is already on changes nothing, so a user on another desktop (a password manager's
    // secure prompt, a desktop-switching tool) is not pulled back. While the workstation is
    // locked the input desktop is Winlogon's, which a user's process can neither open for
    // switching nor switch to.
    HDESK input = OpenInputDesktop(0, FALSE, DESKTOP_SWITCHDESKTOP);
    if (input == NULL)
        return TRUE;
    BOOL locked = !SwitchDesktop(input);
    (void)CloseDesktop(input);
    return locked;
}

BOOL shouldHoldPlayback(void)
{
    // Every enabled probe runs on every evaluation; one that held does not spare the others.
    BOOL result = FALSE;
    if (pluginState.settings.isScreenSave != 0)
        result = isScreenSaverRunning();
    if (pluginState.settings.isLock != 0 && isWorkstationLocked())
        result = TRUE;
    if (pluginState.settings.isMute != 0 && readMasterMute() != 0)
        return TRUE;
    return result;
}
