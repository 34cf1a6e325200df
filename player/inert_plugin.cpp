// A plug-in that loads, answers the header call and does nothing at all.
#include "plugin/host_contract.h"

#ifndef INERT_HEADER_VERSION
#define INERT_HEADER_VERSION PLUGIN_HEADER_VERSION
#endif

static int initNothing(void)
{
    return 0;
}

static void doNothing(void)
{
}

static PluginHeader inertHeader = {INERT_HEADER_VERSION, "Inert plug-in", initNothing, doNothing, doNothing, NULL, NULL};

extern "C" PluginHeader *winampGetGeneralPurposePlugin(void)
{
    return &inertHeader;
}
