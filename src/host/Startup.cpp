#include "host/Startup.h"

#include "core/Cache.h"
#include "sim/SimItems.h"

void StartServing()
{
    pGlobalDeviceItems->Initialize();
    g_cache.StartUpdateThread();
}

void StopServing()
{
    if (bCacheUpdateRunning.load())
        g_cache.StopUpdateThread();
}
