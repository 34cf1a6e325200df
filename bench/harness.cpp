// What every room of the benchmark shares: the clock, the statistics of a set of samples, the
// run's settings and the Markdown table with its verdicts.
#include "bench.h"

#include <algorithm>
#include <stdio.h>

LARGE_INTEGER counterFrequency;
BenchConfig config;

double percentile(Samples &samples, double fraction)
{
    if (samples.count == 0)
        return 0;
    std::sort(samples.values, samples.values + samples.count);
    int index = (int)(fraction * (samples.count - 1) + 0.5);
    return samples.values[index];
}

double median(Samples &samples)
{
    return percentile(samples, 0.5);
}

double worst(Samples &samples)
{
    return percentile(samples, 1.0);
}

BOOL settingsPathBesidePlugin(void)
{
    char *name = NULL;
    DWORD length = GetFullPathNameA(config.pluginPath, MAX_PATH, config.settingsPath, &name);
    if (length == 0 || length >= MAX_PATH || name == NULL || name - config.settingsPath + sizeof "plugin.ini" > MAX_PATH)
        return FALSE;
    lstrcpyA(name, "plugin.ini");
    return TRUE;
}

static int unmeasuredTargets;

Verdict judge(int samples, BOOL met)
{
    if (samples > 0)
        return met ? MET : NOT_MET;
    ++unmeasuredTargets;
    return NOT_MEASURED;
}

const char *verdictText(Verdict verdict)
{
    switch (verdict) {
    case MET:
        return "met";
    case NOT_MET:
        return "NOT met";
    case NOT_MEASURED:
        break;
    }
    return "not measured";
}

BOOL someTargetNotMeasured(void)
{
    return unmeasuredTargets > 0;
}

void printMachine(void)
{
    char processor[128] = "unknown processor";
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DESCRIPTION\\System\\CentralProcessor\\0", 0, KEY_READ, &key) ==
        ERROR_SUCCESS) {
        DWORD size = sizeof processor;
        (void)RegQueryValueExA(key, "ProcessorNameString", NULL, NULL, (BYTE *)processor, &size);
        RegCloseKey(key);
    }
    typedef const char *(__cdecl * WineVersionProc)(void);
    WineVersionProc wineVersion =
        (WineVersionProc)(void *)GetProcAddress(GetModuleHandleA("ntdll.dll"), "wine_get_version");
    SYSTEM_INFO system;
    GetSystemInfo(&system);
    SYSTEMTIME today;
    GetLocalTime(&today);
    printf("Machine: %s, %lu processors; %s %s; %04d-%02d-%02d%s\n\n", processor, system.dwNumberOfProcessors,
           wineVersion != NULL ? "Wine" : "Windows", wineVersion != NULL ? wineVersion() : "", today.wYear,
           today.wMonth, today.wDay, config.quick ? " (quick run: too few samples to judge)" : "");
}

void printTableHead(void)
{
    printf("| measure (ms) | samples | median | 95th | worst | target | |\n|---|---|---|---|---|---|---|\n");
}

// A row with no samples reads "not measured" whatever it was compared with.
void printRow(const char *what, Samples &samples, const char *target, Verdict verdict, int decimals)
{
    if (samples.count == 0) {
        printf("| %s | 0 | | | | %s | not measured |\n", what, target != NULL ? target : "");
        return;
    }
    printf("| %s | %d | %.*f | %.*f | %.*f | %s | %s |\n", what, samples.count, decimals, median(samples), decimals,
           percentile(samples, 0.95), decimals, worst(samples), target != NULL ? target : "",
           target == NULL ? "" : verdictText(verdict));
}

void printFigureRow(const char *what, Samples &samples, int decimals)
{
    printRow(what, samples, NULL, MET, decimals);
}
