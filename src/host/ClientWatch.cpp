#include "host/ClientWatch.h"

#include "common/ComObject.h"
#include "common/Trace.h"
#include "core/Locks.h"
#include "host/Module.h"

#include <objbase.h>
#include <rpc.h>
#include <rpcdcep.h>

#include <map>
#include <vector>

namespace {

struct CTrackedObject {
    CTracedRefCount* refs;
    const wchar_t* name;
    DWORD pid;
};

struct CClientProcess {
    HANDLE process;  // held, so the process identifier cannot be reused meanwhile
    size_t objects;
};

// A leaf lock: nothing but reference-count increments happens under it.
CCriticalSection g_csWatch;
std::map<IUnknown*, CTrackedObject> g_objects;
std::map<DWORD, CClientProcess> g_clients;
volatile LONG g_everServed = 0;

HANDLE g_hStop = nullptr;
HANDLE g_hThread = nullptr;
bool g_startedByCom = false;
DWORD g_idleSeconds = 30;

void ForgetClientLocked(std::map<DWORD, CClientProcess>::iterator it)
{
    CloseHandle(it->second.process);
    g_clients.erase(it);
}

DWORD WINAPI WatchThread(void*)
{
    HRESULT hr = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    VANTREL_ASSERT(SUCCEEDED(hr));
    const DWORD start = GetTickCount();
    bool idleChecked = !g_startedByCom;
    while (WaitForSingleObject(g_hStop, 500) == WAIT_TIMEOUT) {
        ReclaimEndedClients();
        if (!idleChecked && GetTickCount() - start >= g_idleSeconds * 1000) {
            idleChecked = true;
            if (!g_everServed && g_module.m_nLockCount == 0) {
                DebugTrace(L"No client came within %lu s: ending\n", static_cast<unsigned long>(g_idleSeconds));
                if (g_module.m_dwThreadID != 0)
                    PostThreadMessageW(g_module.m_dwThreadID, WM_QUIT, 0, 0);
            }
        }
    }
    CoUninitialize();
    return 0;
}

}  // namespace

DWORD CallingClientProcess()
{
    unsigned long pid = 0;
    if (I_RpcBindingInqLocalClientPID(nullptr, &pid) != RPC_S_OK)
        return 0;
    return pid == GetCurrentProcessId() ? 0 : pid;
}

void TrackClientObject(IUnknown* identity, CTracedRefCount* refs, const wchar_t* name)
{
    const DWORD pid = CallingClientProcess();
    if (pid == 0)
        return;
    InterlockedExchange(&g_everServed, 1);
    CCsLock lock(g_csWatch);
    auto client = g_clients.find(pid);
    if (client == g_clients.end()) {
        HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, pid);
        if (!process)
            return;  // already gone: its call will fail anyway
        client = g_clients.emplace(pid, CClientProcess{process, 0}).first;
    }
    if (g_objects.emplace(identity, CTrackedObject{refs, name, pid}).second)
        ++client->second.objects;
}

void UntrackClientObject(IUnknown* identity)
{
    CCsLock lock(g_csWatch);
    auto it = g_objects.find(identity);
    if (it == g_objects.end())
        return;
    auto client = g_clients.find(it->second.pid);
    g_objects.erase(it);
    if (client != g_clients.end() && --client->second.objects == 0)
        ForgetClientLocked(client);
}

namespace {
// Disconnects the objects of the ended client processes, or of all of them.
size_t Reclaim(bool all)
{
    std::vector<IUnknown*> held;
    {
        CCsLock lock(g_csWatch);
        std::vector<DWORD> ended;
        for (auto& c : g_clients)
            if (all || WaitForSingleObject(c.second.process, 0) == WAIT_OBJECT_0)
                ended.push_back(c.first);
        for (DWORD pid : ended) {
            size_t count = 0;
            for (auto it = g_objects.begin(); it != g_objects.end();) {
                if (it->second.pid != pid) {
                    ++it;
                    continue;
                }
                // An object whose count is already 0 is being destroyed and
                // waits for this lock to forget itself.
                if (it->second.refs->TryIncrement(it->second.name, it->first))
                    held.push_back(it->first);
                it = g_objects.erase(it);
                ++count;
            }
            DebugTrace(all ? L"Client process %lu disconnected: %lu objects\n"
                           : L"Client process %lu ended: reclaiming %lu objects\n",
                       static_cast<unsigned long>(pid), static_cast<unsigned long>(count));
            ForgetClientLocked(g_clients.find(pid));
        }
    }
    // Outside the lock: disconnection drops the client's references, and the
    // last Release tears the object down as the client's own release would.
    for (IUnknown* object : held) {
        CoDisconnectObject(object, 0);
        object->Release();
    }
    return held.size();
}
}  // namespace

size_t ReclaimEndedClients() { return Reclaim(false); }

size_t DisconnectAllClients() { return Reclaim(true); }

void StartClientWatch(bool startedByCom, DWORD idleSeconds)
{
    if (g_hThread)
        return;
    g_startedByCom = startedByCom;
    g_idleSeconds = idleSeconds;
    g_hStop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    g_hThread = CreateThread(nullptr, 0, &WatchThread, nullptr, 0, nullptr);
    VANTREL_ASSERT(g_hThread != nullptr);
}

void StopClientWatch()
{
    if (!g_hThread)
        return;
    SetEvent(g_hStop);
    WaitForSingleObject(g_hThread, INFINITE);
    CloseHandle(g_hThread);
    CloseHandle(g_hStop);
    g_hThread = nullptr;
    g_hStop = nullptr;
}
