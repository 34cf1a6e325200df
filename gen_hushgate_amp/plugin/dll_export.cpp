// The module's entry points: the one export the player looks up by name, and a DllMain
// that does nothing, since everything is set up in init on the player's thread.
#include "plugin/plugin.h"

extern "C" PluginHeader *winampGetGeneralPurposePlugin(void)
{
    return fillPluginHeader();
}

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID)
{
    return TRUE;
}
