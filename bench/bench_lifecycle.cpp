// The server's working set across many group lifecycles (add, query, remove),
// read from outside the server: the steady growth per lifecycle.
#include "BenchUtil.h"
#include "ServerProcess.h"
#include "ItemDefs.h"
#include "common/OpcDefs.h"

#include <objbase.h>
#include <psapi.h>

#include <cstdio>

namespace {
HANDLE g_server;
DWORD g_serverPid;


// One group lifecycle of the given phase: 0 the group alone, 1 with three
// items, 2 with three items and an advise connection.
void Lifecycle(IOPCServer* server, CountingSink* sink, int phase, int i)
{
    IOPCItemMgt* mgt = nullptr;
    OPCHANDLE h;
    DWORD revised;
    if (FAILED(server->AddGroup(L"", phase == 2, 50, 1, nullptr, nullptr, 0, &h, &revised, IID_IOPCItemMgt,
                                reinterpret_cast<IUnknown**>(&mgt))))
        return;
    if (phase >= 1) {
        const wchar_t* ids[3] = {L"set1.item", L"set2.on", L"set3.fct"};
        OPCITEMDEF defs[3];
        FillItemDefs(defs, ids, 3);
        OPCITEMRESULT* results = nullptr;
        HRESULT* errors = nullptr;
        mgt->AddItems(3, defs, &results, &errors);
        CoTaskMemFree(results);
        CoTaskMemFree(errors);
    }
    if (phase == 2) {
        IDataObject* data = nullptr;
        mgt->QueryInterface(IID_IDataObject, reinterpret_cast<void**>(&data));
        FORMATETC fe = {static_cast<CLIPFORMAT>(RegisterClipboardFormatW(L"OPCSTMFORMATDATA")), nullptr,
                        DVASPECT_CONTENT, -1, TYMED_HGLOBAL};
        DWORD connection = 0;
        data->DAdvise(&fe, 0, sink, &connection);
        data->DUnadvise(connection);
        data->Release();
    }
    mgt->Release();
    server->RemoveGroup(h, i % 2);
}
}  // namespace

// The server's growth per lifecycle in steady state: after a warm-up, the
// working set is read every kStep lifecycles, and only the intervals in which
// the server's thread count did not change are counted (a new platform
// thread alone adds about 1 MB once).
int main()
{
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    IOPCServer* server = nullptr;
    if (FAILED(CoCreateInstance(CLSID_OPCServer, nullptr, CLSCTX_LOCAL_SERVER, IID_IOPCServer,
                                reinterpret_cast<void**>(&server)))) {
        printf("cannot create the server (register it first)\n");
        return 1;
    }
    g_serverPid = FindServerPid();
    g_server = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, g_serverPid);
    CountingSink sink;
    const int kWarmUp = 500, kGroups = 4000, kStep = 100;
    const char* phases[3] = {"group only", "group + 3 items", "group + 3 items + advise/unadvise"};
    printf("Server working set across %d group lifecycles per phase, after %d to warm up\n", kGroups, kWarmUp);
    printf("%-36s %10s %12s %10s %14s\n", "phase", "KiB after", "steady B/grp", "intervals", "thread changes");
    for (int phase = 0; phase < 3; ++phase) {
        for (int i = 0; i < kWarmUp; ++i)
            Lifecycle(server, &sink, phase, i);
        double steadyBytes = 0;
        int steadyIntervals = 0, threadChanges = 0;
        SIZE_T ws = WorkingSetOf(g_server);
        DWORD threads = ThreadCount(g_serverPid);
        for (int i = 0; i < kGroups; i += kStep) {
            for (int k = 0; k < kStep; ++k)
                Lifecycle(server, &sink, phase, i + k);
            SIZE_T wsNow = WorkingSetOf(g_server);
            DWORD threadsNow = ThreadCount(g_serverPid);
            if (threadsNow == threads) {
                steadyBytes += static_cast<double>(wsNow) - static_cast<double>(ws);
                ++steadyIntervals;
            } else {
                ++threadChanges;
            }
            ws = wsNow;
            threads = threadsNow;
        }
        const double perGroup = steadyIntervals ? steadyBytes / (steadyIntervals * kStep) : 0.0;
        printf("%-36s %10lu %12.1f %10d %14d\n", phases[phase], static_cast<unsigned long>(ws / 1024), perGroup,
               steadyIntervals, threadChanges);
    }
    server->Release();
    CloseHandle(g_server);
    CoUninitialize();
    return 0;
}
