#include "host/ServerLifetime.h"

#include "common/Trace.h"
#include "core/Locks.h"
#include "host/ClassFactory.h"
#include "host/Module.h"

#include <objbase.h>

const CLifetimeTimes kDefaultLifetimeTimes = {500, 100};

namespace {
// The activation gate: a leaf lock, held only for the count's check and the
// (un)registration of the class objects.
CCriticalSection g_csGate;
bool g_bStopping = false;
volatile LONG g_lEndRequested = 0;
volatile LONG g_lActivations = 0;  // creations begun, ever

// Waits while the count stays 0 and no creation begins; false as soon as one
// does.
bool StaysIdle(DWORD ms)
{
    const LONG activations = g_lActivations;
    const DWORD start = GetTickCount();
    for (;;) {
        if (g_module.m_nLockCount != 0 || g_lActivations != activations)
            return false;
        if (GetTickCount() - start >= ms)
            return true;
        Sleep(5);
    }
}

}  // namespace

HRESULT RegisterClassObjects()
{
    HRESULT hr = S_OK;
    for (CClassTableEntry* e = g_classTable; e->pclsid; ++e) {
        if (!e->bServed)
            continue;
        IClassFactory* factory = new CClassFactory(e->pfnCreateInstance);
        factory->AddRef();
        hr = CoRegisterClassObject(*e->pclsid, factory, CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER,
                                   REGCLS_MULTIPLEUSE, &e->dwRegister);
        factory->Release();
        if (FAILED(hr))
            break;
    }
    return hr;
}

void RevokeClassObjects()
{
    for (CClassTableEntry* e = g_classTable; e->pclsid; ++e) {
        if (!e->dwRegister)
            continue;
        HRESULT hr = CoRevokeClassObject(e->dwRegister);
        e->dwRegister = 0;
        if (FAILED(hr))
            break;
    }
}

HRESULT BeginActivation()
{
    CCsLock gate(g_csGate);
    if (g_bStopping)
        return CO_E_SERVER_STOPPING;
    InterlockedIncrement(&g_lActivations);
    LockModule();
    return S_OK;
}

void EndActivation() { UnlockModule(); }

void RequestEnd() { InterlockedExchange(&g_lEndRequested, 1); }

bool EndWhenStillIdle(const CLifetimeTimes& times)
{
    const bool lingered = StaysIdle(g_lEndRequested ? 0 : times.dwLingerMs);
    {
        CCsLock gate(g_csGate);
        if (!lingered || g_module.m_nLockCount != 0) {
            DebugTrace(L"A client came: serving on\n");
            CoResumeClassObjects();
            return false;
        }
        CoSuspendClassObjects();
        RevokeClassObjects();
    }
    const bool drained = StaysIdle(times.dwDrainMs);
    CCsLock gate(g_csGate);
    if (!drained || g_module.m_nLockCount != 0) {
        DebugTrace(L"A client came after the class objects were revoked: serving on\n");
        HRESULT hr = RegisterClassObjects();
        VANTREL_ASSERT(SUCCEEDED(hr));
        CoResumeClassObjects();
        return false;
    }
    g_bStopping = true;
    DebugTrace(L"No client left: ending\n");
    return true;
}

void RunMessageLoop()
{
    MSG msg;
    for (;;) {
        BOOL got = GetMessageW(&msg, nullptr, 0, 0);
        if (got == -1)
            continue;
        // WM_QUIT: the process lock fell to 0; it ends unless a client
        // comes meanwhile.
        if (got == 0) {
            if (EndWhenStillIdle())
                return;
            continue;
        }
        DispatchMessageW(&msg);
    }
}

void ResetLifetime()
{
    CCsLock gate(g_csGate);
    g_bStopping = false;
    g_lEndRequested = 0;
}
