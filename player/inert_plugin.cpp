// Plug-ins for the player's own tests: one that loads and does nothing at all, and, built with
// INERT_SUBCLASSES, one that also subclasses the player window the plain way (restoring what
// it saved at quit), as many real plug-ins do.
#include "plugin/host_contract.h"

#ifndef INERT_HEADER_VERSION
#define INERT_HEADER_VERSION PLUGIN_HEADER_VERSION
#endif

static int initPlugin(void);
static void doNothing(void)
{
}
static void quitPlugin(void);

static PluginHeader inertHeader = {INERT_HEADER_VERSION, "Inert plug-in", initPlugin, doNothing, quitPlugin, NULL,
                                   NULL};

#ifdef INERT_SUBCLASSES
static WNDPROC savedProc;

static LRESULT CALLBACK passOnProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    return CallWindowProcA(savedProc, hwnd, message, wParam, lParam);
}

static int initPlugin(void)
{
    savedProc = (WNDPROC)SetWindowLongA(inertHeader.hwndParent, GWL_WNDPROC, (LONG)passOnProc);
    return 0;
}

static void quitPlugin(void)
{
    (void)SetWindowLongA(inertHeader.hwndParent, GWL_WNDPROC, (LONG)savedProc);
}
#else
static int initPlugin(void)
{
    return 0;
}

static void quitPlugin(void)
{
}
#endif

extern "C" PluginHeader *winampGetGeneralPurposePlugin(void)
{
    return &inertHeader;
}
