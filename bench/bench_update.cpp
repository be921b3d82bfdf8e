// A group's Update (change check plus both stream blocks) per item, for items
// that all change, beside the cost of copying the same values.
#include "common/OPCGlob.h"
#include "core/Cache.h"
#include "engine/ScanMgr.h"
#include "opc/OPCGroup.h"
#include "opc/OPCItem.h"
#include "opc/OPCSrvr.h"

#include <objbase.h>

#include "BenchUtil.h"

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

namespace {
}  // namespace

int main()
{
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    IOPCServer* server = nullptr;
    COPCServer::CreateInstance(nullptr, IID_IOPCServer, reinterpret_cast<void**>(&server));
    printf("Group Update per item, every item changed (best of 10)\n");
    printf("%8s %16s %16s %16s %8s\n", "items", "update ns/item", "check ns/item", "copy ns/item", "ratio");
    for (int n : {1000, 10000}) {
        IOPCItemMgt* mgt = nullptr;
        OPCHANDLE hGroup;
        DWORD revised;
        std::wstring name = L"bench" + std::to_wstring(n);
        server->AddGroup(name.c_str(), FALSE, 100000000, 1, nullptr, nullptr, 0, &hGroup, &revised, IID_IOPCItemMgt,
                         reinterpret_cast<IUnknown**>(&mgt));
        std::vector<std::wstring> ids(n);
        std::vector<OPCITEMDEF> defs(n);
        for (int i = 0; i < n; ++i) {
            ids[i] = L"set" + std::to_wstring(200000 + i) + L".item";
            defs[i] = OPCITEMDEF{};
            defs[i].szItemID = const_cast<wchar_t*>(ids[i].c_str());
            defs[i].bActive = TRUE;
            defs[i].hClient = i;
        }
        OPCITEMRESULT* results;
        HRESULT* errors;
        mgt->AddItems(n, defs.data(), &results, &errors);
        std::vector<DWORD> devices(n);
        auto* group = static_cast<COPCGroup*>(mgt);
        for (int i = 0; i < n; ++i)
            devices[i] = group->GetItem(results[i].hServer)->GetDeviceHandle();
        FreeItemResultArray(n, results);
        CoTaskMemFree(errors);

        CountingSink sink;
        IDataObject* data;
        mgt->QueryInterface(IID_IDataObject, reinterpret_cast<void**>(&data));
        DWORD c1, c2;
        FORMATETC f1 = {static_cast<CLIPFORMAT>(g_cfDataTime), nullptr, DVASPECT_CONTENT, -1, TYMED_HGLOBAL};
        FORMATETC f2 = {static_cast<CLIPFORMAT>(g_cfData), nullptr, DVASPECT_CONTENT, -1, TYMED_HGLOBAL};
        data->DAdvise(&f1, 0, &sink, &c1);
        data->DAdvise(&f2, 0, &sink, &c2);
        IOPCGroupStateMgt* state;
        mgt->QueryInterface(IID_IOPCGroupStateMgt, reinterpret_cast<void**>(&state));
        BOOL on = TRUE;
        state->SetState(nullptr, &revised, &on, nullptr, nullptr, nullptr, nullptr);
        while (static_cast<COPCServer*>(server)->ScanMgr()->DueOf(group) <= 0)
            Sleep(1);

        double value = 0;
        auto change = [&] {
            value += 0.001;
            VARIANT v;
            v.vt = VT_R8;
            v.dblVal = value;
            FILETIME ft;
            GetSystemTimeAsFileTime(&ft);
            CDeviceLockHold lock(g_cache.m_hMutex);
            for (DWORD d : devices)
                g_cache.SetEntryValue(d, v, ft, OPC_QUALITY_GOOD);
        };
        auto bestOfUpdates = [&] {
            double best = 1e300;
            for (int r = 0; r < 10; ++r) {
                change();
                LONGLONG due;
                double t0 = NowUs();
                group->Update(&due);
                best = std::min(best, NowUs() - t0);
            }
            return best;
        };
        double bestUpdate = bestOfUpdates();
        // The change check alone: no sink advised, so no block is written.
        data->DUnadvise(c1);
        data->DUnadvise(c2);
        double bestCheck = bestOfUpdates();
        data->DAdvise(&f1, 0, &sink, &c1);
        data->DAdvise(&f2, 0, &sink, &c2);
        // The same values copied into arrays, as the update collects them.
        std::vector<VARIANT> copies(n);
        std::vector<WORD> qualities(n);
        std::vector<FILETIME> times(n);
        double bestCopy = 1e300;
        for (int r = 0; r < 10; ++r) {
            double t0 = NowUs();
            CDeviceLockHold lock(g_cache.m_hMutex);
            for (int i = 0; i < n; ++i) {
                CCacheEntry* e = g_cache.FindEntry(devices[i]);
                VariantInit(&copies[i]);
                VariantCopy(&copies[i], &e->vValue);
                qualities[i] = e->wQuality;
                times[i] = e->ftTimeStamp;
            }
            bestCopy = std::min(bestCopy, NowUs() - t0);
        }
        printf("%8d %16.1f %16.1f %16.1f %8.2f\n", n, bestUpdate * 1000 / n, bestCheck * 1000 / n, bestCopy * 1000 / n,
               bestUpdate / bestCopy);
        data->DUnadvise(c1);
        data->DUnadvise(c2);
        data->Release();
        state->Release();
        mgt->Release();
        server->RemoveGroup(hGroup, TRUE);
    }
    server->Release();
    CoUninitialize();
    return 0;
}
