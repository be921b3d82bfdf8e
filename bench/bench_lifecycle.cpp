// The server's working set across many group lifecycles (add, query, remove),
// read from outside the server: the growth per lifecycle, for the soak's
// memory figures.
#include "BenchUtil.h"
#include "ServerProcess.h"
#include "common/OpcDefs.h"

#include <objbase.h>
#include <psapi.h>

#include <cstdio>

namespace {
HANDLE g_server;

SIZE_T WorkingSetKiB()
{
    PROCESS_MEMORY_COUNTERS pmc = {};
    pmc.cb = sizeof(pmc);
    GetProcessMemoryInfo(g_server, &pmc, sizeof(pmc));
    return pmc.WorkingSetSize / 1024;
}
}  // namespace

int main()
{
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    IOPCServer* server = nullptr;
    if (FAILED(CoCreateInstance(CLSID_OPCServer, nullptr, CLSCTX_LOCAL_SERVER, IID_IOPCServer,
                                reinterpret_cast<void**>(&server)))) {
        printf("cannot create the server (register it first)\n");
        return 1;
    }
    g_server = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, FindServerPid());
    CountingSink sink;
    const int kGroups = 3000;
    const char* phases[3] = {"group only", "group + 3 items", "group + 3 items + advise/unadvise"};
    printf("Server working set across %d group lifecycles per phase\n", kGroups);
    printf("%-36s %12s %14s\n", "phase", "KiB after", "bytes/group");
    SIZE_T before = WorkingSetKiB();
    printf("%-36s %12lu\n", "start", static_cast<unsigned long>(before));
    for (int phase = 0; phase < 3; ++phase) {
        for (int i = 0; i < kGroups; ++i) {
            IOPCItemMgt* mgt = nullptr;
            OPCHANDLE h;
            DWORD revised;
            server->AddGroup(L"", phase == 2, 50, 1, nullptr, nullptr, 0, &h, &revised, IID_IOPCItemMgt,
                             reinterpret_cast<IUnknown**>(&mgt));
            if (phase >= 1) {
                const wchar_t* ids[3] = {L"set1.item", L"set2.on", L"set3.fct"};
                OPCITEMDEF defs[3] = {};
                for (int k = 0; k < 3; ++k) {
                    defs[k].szItemID = const_cast<wchar_t*>(ids[k]);
                    defs[k].szAccessPath = const_cast<wchar_t*>(L"");
                    defs[k].bActive = TRUE;
                }
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
                data->DAdvise(&fe, 0, &sink, &connection);
                data->DUnadvise(connection);
                data->Release();
            }
            mgt->Release();
            server->RemoveGroup(h, i % 2);
        }
        SIZE_T now = WorkingSetKiB();
        printf("%-36s %12lu %14.0f\n", phases[phase], static_cast<unsigned long>(now),
               (static_cast<double>(now) - static_cast<double>(before)) * 1024.0 / kGroups);
        before = now;
    }
    server->Release();
    CloseHandle(g_server);
    CoUninitialize();
    return 0;
}
