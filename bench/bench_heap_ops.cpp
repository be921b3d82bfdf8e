// The memory that each client operation leaves behind. In-process (the
// default) the busy blocks and bytes of all the process's heaps are counted
// before and after many runs of one operation (after a warm-up); with
// --remote the operations go to the registered server in its own process and
// its working set is read from outside, counting only the intervals in which
// its thread count did not change. A figure that is not about 0 is memory
// kept per operation: ours when it shows in-process, the platform's
// marshalling when it shows only across processes.
#include "BenchUtil.h"
#include "ServerProcess.h"
#include "common/OPCGlob.h"
#include "ItemDefs.h"
#include "common/OpcDefs.h"
#include "common/Trace.h"
#include "opc/OPCSrvr.h"

#include <objbase.h>
#include <psapi.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace {

struct HeapUse {
    double blocks = 0;
    double bytes = 0;
};

HeapUse CountHeaps()
{
    HeapUse use;
    HANDLE heaps[256];
    DWORD n = GetProcessHeaps(256, heaps);
    for (DWORD i = 0; i < n && i < 256; ++i) {
        if (!HeapLock(heaps[i]))
            continue;
        PROCESS_HEAP_ENTRY e = {};
        while (HeapWalk(heaps[i], &e)) {
            if (e.wFlags & PROCESS_HEAP_ENTRY_BUSY) {
                use.blocks += 1;
                use.bytes += e.cbData;
            }
        }
        HeapUnlock(heaps[i]);
    }
    return use;
}

// Waits until the sink has seen at least n blocks (completions come from the
// asynchronous thread).
void WaitBlocks(CountingSink& sink, long n)
{
    for (int i = 0; i < 2000 && sink.blocks.load() + sink.completions.load() < n; ++i)
        Sleep(1);
}

}  // namespace

int main(int argc, char** argv)
{
    const bool remote = argc > 1 && strcmp(argv[1], "--remote") == 0;
    const char* only = argc > 3 ? argv[3] : nullptr;  // runs only the operations whose name starts so
    SetEnvironmentVariableW(L"OANOCACHE", L"1");  // freed strings are not cached
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    SetTraceSink(nullptr);
    IOPCServer* server = nullptr;
    HANDLE serverProcess = nullptr;
    DWORD serverPid = 0;
    if (remote) {
        if (FAILED(CoCreateInstance(CLSID_OPCServer, nullptr, CLSCTX_LOCAL_SERVER, IID_IOPCServer,
                                    reinterpret_cast<void**>(&server)))) {
            printf("cannot create the server (register it first)\n");
            return 1;
        }
        serverPid = FindServerPid();
        serverProcess = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, serverPid);
    } else {
        COPCServer::CreateInstance(nullptr, IID_IOPCServer, reinterpret_cast<void**>(&server));
    }
    auto workingSet = [&] { return static_cast<double>(WorkingSetOf(serverProcess)); };

    // One group with three items and a sink on each format, used by the operations.
    IOPCItemMgt* mgt = nullptr;
    OPCHANDLE hGroup = 0;
    DWORD revised = 0;
    server->AddGroup(L"ops", TRUE, 1000000, 1, nullptr, nullptr, 0, &hGroup, &revised, IID_IOPCItemMgt,
                     reinterpret_cast<IUnknown**>(&mgt));
    const wchar_t* ids[3] = {L"set1.item", L"set1.period", L"set2.item"};
    OPCITEMDEF defs[3];
    FillItemDefs(defs, ids, 3);
    OPCITEMRESULT* results = nullptr;
    HRESULT* errors = nullptr;
    mgt->AddItems(3, defs, &results, &errors);
    OPCHANDLE items[3];
    for (int k = 0; k < 3; ++k)
        items[k] = results[k].hServer;
    CoTaskMemFree(results);
    CoTaskMemFree(errors);
    IOPCGroupStateMgt* state = nullptr;
    IOPCSyncIO* sync = nullptr;
    IOPCAsyncIO* async = nullptr;
    IDataObject* data = nullptr;
    mgt->QueryInterface(IID_IOPCGroupStateMgt, reinterpret_cast<void**>(&state));
    mgt->QueryInterface(IID_IOPCSyncIO, reinterpret_cast<void**>(&sync));
    mgt->QueryInterface(IID_IOPCAsyncIO, reinterpret_cast<void**>(&async));
    mgt->QueryInterface(IID_IDataObject, reinterpret_cast<void**>(&data));
    CountingSink sink;
    FORMATETC feData = {static_cast<CLIPFORMAT>(g_cfDataTime), nullptr, DVASPECT_CONTENT, -1, TYMED_HGLOBAL};
    FORMATETC feWrite = {static_cast<CLIPFORMAT>(g_cfWriteComplete), nullptr, DVASPECT_CONTENT, -1, TYMED_HGLOBAL};
    DWORD connData = 0, connWrite = 0;
    data->DAdvise(&feData, 0, &sink, &connData);
    data->DAdvise(&feWrite, 0, &sink, &connWrite);

    int n = 0;  // counts calls, for names and values
    auto variantR8 = [](double v) {
        VARIANT x;
        VariantInit(&x);
        x.vt = VT_R8;
        x.dblVal = v;
        return x;
    };
    struct Op {
        const char* name;
        std::function<void()> run;
    };
    std::vector<Op> ops = {
        {"AddGroup + RemoveGroup",
         [&] {
             IUnknown* unk = nullptr;
             OPCHANDLE h;
             DWORD r;
             server->AddGroup(L"", FALSE, 50, 1, nullptr, nullptr, 0, &h, &r, IID_IUnknown, &unk);
             unk->Release();
             server->RemoveGroup(h, n % 2);
         }},
        {"SetState (rate, active)",
         [&] {
             DWORD rate = 1000000 + (n % 2), r;
             BOOL active = n % 2;
             state->SetState(&rate, &r, &active, nullptr, nullptr, nullptr, nullptr);
         }},
        {"SetName",
         [&] {
             std::wstring name = L"ops" + std::to_wstring(n % 2);
             state->SetName(name.c_str());
         }},
        {"CloneGroup + RemoveGroup",
         [&] {
             IOPCGroupStateMgt* clone = nullptr;
             state->CloneGroup(L"", IID_IOPCGroupStateMgt, reinterpret_cast<IUnknown**>(&clone));
             if (clone) {
                 DWORD rate;
                 BOOL active;
                 LPWSTR name = nullptr;
                 LONG bias;
                 FLOAT deadband;
                 DWORD lcid;
                 OPCHANDLE client, h = 0;
                 clone->GetState(&rate, &active, &name, &bias, &deadband, &lcid, &client, &h);
                 CoTaskMemFree(name);
                 clone->Release();
                 server->RemoveGroup(h, TRUE);
             }
         }},
        {"AddItems + RemoveItems",
         [&] {
             OPCITEMRESULT* res = nullptr;
             HRESULT* err = nullptr;
             mgt->AddItems(1, defs, &res, &err);
             OPCHANDLE h = res[0].hServer;
             CoTaskMemFree(res);
             CoTaskMemFree(err);
             mgt->RemoveItems(1, &h, &err);
             CoTaskMemFree(err);
         }},
        {"SetActiveState",
         [&] {
             HRESULT* err = nullptr;
             mgt->SetActiveState(3, items, n % 2, &err);
             CoTaskMemFree(err);
         }},
        {"Sync Read (device)",
         [&] {
             OPCITEMSTATE* st = nullptr;
             HRESULT* err = nullptr;
             sync->Read(OPC_DS_DEVICE, 3, items, &st, &err);
             for (int k = 0; k < 3; ++k)
                 VariantClear(&st[k].vDataValue);
             CoTaskMemFree(st);
             CoTaskMemFree(err);
         }},
        {"Sync Write",
         [&] {
             VARIANT v = variantR8(1000 + n % 7);
             HRESULT* err = nullptr;
             sync->Write(1, &items[1], &v, &err);
             CoTaskMemFree(err);
         }},
        {"Sync Write x3",
         [&] {
             VARIANT v[3] = {variantR8(1), variantR8(1000 + n % 7), variantR8(2)};
             OPCHANDLE h[3] = {items[1], items[1], items[1]};
             HRESULT* err = nullptr;
             sync->Write(3, h, v, &err);
             CoTaskMemFree(err);
         }},
        {"Sync Write (unknown handle)",
         [&] {
             VARIANT v = variantR8(1000 + n % 7);
             OPCHANDLE h = 0xFFFFFFF0u;
             HRESULT* err = nullptr;
             sync->Write(1, &h, &v, &err);
             CoTaskMemFree(err);
         }},
        {"Async Read + completion",
         [&] {
             long before = sink.blocks.load() + sink.completions.load();
             DWORD tid;
             HRESULT* err = nullptr;
             if (async->Read(connData, OPC_DS_CACHE, 3, items, &tid, &err) == S_OK) {
                 CoTaskMemFree(err);
                 WaitBlocks(sink, before + 1);
             }
         }},
        {"Async Write + completion",
         [&] {
             long before = sink.blocks.load() + sink.completions.load();
             VARIANT v = variantR8(1000 + n % 7);
             DWORD tid;
             HRESULT* err = nullptr;
             if (async->Write(connWrite, 1, &items[1], &v, &tid, &err) == S_OK) {
                 CoTaskMemFree(err);
                 WaitBlocks(sink, before + 1);
             }
         }},
        {"Async Refresh + completion",
         [&] {
             long before = sink.blocks.load() + sink.completions.load();
             DWORD tid;
             if (async->Refresh(connData, OPC_DS_CACHE, &tid) == S_OK)
                 WaitBlocks(sink, before + 1);
         }},
        {"Async Read + Cancel",
         [&] {
             DWORD tid;
             HRESULT* err = nullptr;
             if (async->Read(connData, OPC_DS_DEVICE, 3, items, &tid, &err) == S_OK) {
                 CoTaskMemFree(err);
                 async->Cancel(tid);
             }
             Sleep(1);
         }},
        {"DAdvise + DUnadvise",
         [&] {
             DWORD c = 0;
             data->DAdvise(&feData, 0, &sink, &c);
             data->DUnadvise(c);
         }},
        {"Browse: flat enumeration",
         [&] {
             IOPCBrowseServerAddressSpace* browse = nullptr;
             server->QueryInterface(IID_IOPCBrowseServerAddressSpace, reinterpret_cast<void**>(&browse));
             IEnumString* e = nullptr;
             browse->BrowseOPCItemIDs(OPC_FLAT, L"", VT_EMPTY, 0, &e);
             if (e) {
                 LPOLESTR s[16];
                 ULONG got = 0;
                 while (e->Next(16, s, &got) == S_OK || got) {
                     for (ULONG k = 0; k < got; ++k)
                         CoTaskMemFree(s[k]);
                     if (got < 16)
                         break;
                 }
                 e->Release();
             }
             LPWSTR id = nullptr;
             browse->GetItemID(const_cast<wchar_t*>(L"set1"), &id);
             CoTaskMemFree(id);
             browse->Release();
         }},
        {"Group and item enumerators",
         [&] {
             IEnumUnknown* eu = nullptr;
             server->CreateGroupEnumerator(OPC_ENUM_ALL_CONNECTIONS, IID_IEnumUnknown,
                                           reinterpret_cast<IUnknown**>(&eu));
             if (eu)
                 eu->Release();
             IEnumOPCItemAttributes* ea = nullptr;
             mgt->CreateEnumerator(IID_IEnumOPCItemAttributes, reinterpret_cast<IUnknown**>(&ea));
             if (ea) {
                 OPCITEMATTRIBUTES* attrs = nullptr;
                 ULONG got = 0;
                 ea->Next(3, &attrs, &got);
                 FreeItemAttributesArray(got, attrs, TaskMemFreeFn);
                 ea->Release();
             }
         }},
        {"GetStatus + GetErrorString",
         [&] {
             OPCSERVERSTATUS* st = nullptr;
             server->GetStatus(&st);
             CoTaskMemFree(st->szVendorInfo);
             CoTaskMemFree(st);
             LPWSTR text = nullptr;
             server->GetErrorString(E_INVALIDARG, 0, &text);
             CoTaskMemFree(text);
         }},
    };

    // The count itself is checked: 1,000 blocks of 100 bytes must show.
    if (!remote) {
        HeapUse a = CountHeaps();
        std::vector<void*> blocks;
        for (int i = 0; i < 1000; ++i)
            blocks.push_back(CoTaskMemAlloc(100));
        HeapUse b = CountHeaps();
        for (void* p : blocks)
            CoTaskMemFree(p);
        printf("heaps hold %.0f busy blocks; 1,000 task-memory blocks of 100 bytes count as %.0f blocks, %.0f bytes\n",
               a.blocks, b.blocks - a.blocks, b.bytes - a.bytes);
    }
    // An optional second argument: the runs per operation.
    const int kWarmUp = remote ? 100 : 200, kStep = 100;
    int kRuns = remote ? 1000 : 2000;
    if (argc > 2 && atoi(argv[2]) >= kStep)
        kRuns = atoi(argv[2]) / kStep * kStep;
    if (remote)
        printf("Server working set left behind per operation, across processes (%d runs after %d to warm up)\n",
               kRuns, kWarmUp);
    else
        printf("Heap left behind per operation, in-process (%d runs after %d to warm up)\n", kRuns, kWarmUp);
    printf("%-32s %14s %14s\n", "operation", "bytes/op", remote ? "thread changes" : "blocks/op");
    for (Op& op : ops) {
        if (only && strncmp(op.name, only, strlen(only)) != 0)
            continue;
        for (int i = 0; i < kWarmUp; ++i, ++n)
            op.run();
        Sleep(50);
        if (remote) {
            double grown = 0;
            int steady = 0, changes = 0;
            double ws = workingSet();
            DWORD threads = ThreadCount(serverPid);
            for (int i = 0; i < kRuns; i += kStep) {
                for (int k = 0; k < kStep; ++k, ++n)
                    op.run();
                double wsNow = workingSet();
                DWORD threadsNow = ThreadCount(serverPid);
                if (threadsNow == threads) {
                    grown += wsNow - ws;
                    ++steady;
                } else {
                    ++changes;
                }
                ws = wsNow;
                threads = threadsNow;
            }
            printf("%-32s %14.2f %14d\n", op.name, steady ? grown / (steady * kStep) : 0.0, changes);
        } else {
            HeapUse before = CountHeaps();
            for (int i = 0; i < kRuns; ++i, ++n)
                op.run();
            Sleep(50);  // the last completion's transaction ends after it is delivered
            HeapUse after = CountHeaps();
            printf("%-32s %14.2f %14.3f\n", op.name, (after.bytes - before.bytes) / kRuns,
                   (after.blocks - before.blocks) / kRuns);
        }
        fflush(stdout);
    }
    data->DUnadvise(connData);
    data->DUnadvise(connWrite);
    data->Release();
    async->Release();
    sync->Release();
    state->Release();
    mgt->Release();
    server->Release();
    if (serverProcess)
        CloseHandle(serverProcess);
    CoUninitialize();
    return 0;
}
