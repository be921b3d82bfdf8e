#include "host/Module.h"

#include <objbase.h>

CModule g_module;

LONG LockModule() { return InterlockedIncrement(&g_module.m_nLockCount); }

LONG UnlockModule()
{
    LONG count = InterlockedDecrement(&g_module.m_nLockCount);
    // The main thread decides whether the process really ends: a client may
    // be creating an object at this moment (EndWhenStillIdle).
    if (count == 0 && g_module.m_dwThreadID != 0)
        PostThreadMessageW(g_module.m_dwThreadID, WM_QUIT, 0, 0);
    return count;
}
