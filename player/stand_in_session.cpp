// Follows the stand-in player's output as Windows would see it: a stream opened on the default
// device moves with the default, as Windows moves such streams; when its device goes away the
// session is cut off, and a player still playing opens a new one on the next default.
#include "stand_in_session.h"

#include <mmdeviceapi.h>
#include <audiopolicy.h>

#include "player_window.h"
#include "plugin/host_contract.h"
#include "simulated_sessions.h"
#include "simulated_speakers.h"

static LONG standInSession = NO_SESSION;

LONG standInSessionDevice(void)
{
    return simulatedSessionDevice(standInSession);
}

static void closeSession(BOOL deviceGone)
{
    if (deviceGone)
        disconnectSimulatedSession(standInSession, DisconnectReasonDeviceRemoval);
    else
        removeSimulatedSession(standInSession);
    standInSession = NO_SESSION;
}

void standInSessionFollows(void)
{
    LONG device = standInSessionDevice();
    if (device == NO_SESSION)
        standInSession = NO_SESSION;
    else if (simulatedSpeakers.state[device] != DEVICE_STATE_ACTIVE)
        closeSession(TRUE);
    else if (device != simulatedSpeakers.defaultDevice)
        closeSession(FALSE);
    BOOL playing = playerWindow.playState == PLAY_STATE_PLAYING;
    AudioSessionState state = playing ? AudioSessionStateActive : AudioSessionStateInactive;
    if (standInSession != NO_SESSION) {
        setSimulatedSessionState(standInSession, state);
        return;
    }
    if (playing && simulatedSpeakers.defaultDevice != NO_DEFAULT_SPEAKERS)
        standInSession = addSimulatedSession(simulatedSpeakers.defaultDevice, GetCurrentProcessId(), state, FALSE);
}
