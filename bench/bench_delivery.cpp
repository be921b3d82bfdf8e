// Item updates reaching clients in other processes: one 1.0a stream sink and
// one DA 2.0 callback with 1,000 and 10,000 changing items, each beside the
// platform's floor for the same bytes (a peer process making the same call
// with a ready block, as fast as it can); eight clients at once with the
// server's CPU time per million updates and the share of late updates; the
// server's working set per 10,000 active items.
//
// The same program is the peer (--peer) and the clients (--client).
#include "BenchUtil.h"
#include "BenchGroups.h"
#include "ServerProcess.h"
#include "common/OpcDefs.h"

#include <objbase.h>
#include <ocidl.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <string>
#include <vector>

namespace {

const int kManyItems = 10000;

std::wstring SelfPath()
{
    wchar_t path[MAX_PATH] = L"";
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    return path;
}

std::wstring TempFile(const wchar_t* tag)
{
    wchar_t dir[MAX_PATH] = L"";
    GetTempPathW(MAX_PATH, dir);
    return std::wstring(dir) + L"vantrel-" + tag + L"-" + std::to_wstring(GetCurrentProcessId()) + L".bin";
}

HANDLE Start(const std::wstring& args)
{
    std::wstring line = L"\"" + SelfPath() + L"\" " + args;
    STARTUPINFOW si = {};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi = {};
    if (!CreateProcessW(nullptr, &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi))
        return nullptr;
    CloseHandle(pi.hThread);
    return pi.hProcess;
}

bool WriteBytes(const std::wstring& file, const void* data, DWORD size)
{
    HANDLE f = CreateFileW(file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (f == INVALID_HANDLE_VALUE)
        return false;
    DWORD written = 0;
    BOOL ok = WriteFile(f, data, size, &written, nullptr);
    CloseHandle(f);
    return ok && written == size;
}

std::vector<BYTE> ReadBytes(const std::wstring& file)
{
    std::vector<BYTE> bytes;
    HANDLE f = CreateFileW(file.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (f == INVALID_HANDLE_VALUE)
        return bytes;
    bytes.resize(GetFileSize(f, nullptr));
    DWORD read = 0;
    ReadFile(f, bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr);
    CloseHandle(f);
    return bytes;
}

// An interface pointer of this process, marshalled for another one into a
// file; the other one unmarshals it from there.
bool MarshalToFile(IUnknown* object, REFIID iid, const std::wstring& file)
{
    IStream* stream = nullptr;
    if (FAILED(CreateStreamOnHGlobal(nullptr, TRUE, &stream)))
        return false;
    bool ok = SUCCEEDED(CoMarshalInterface(stream, iid, object, MSHCTX_LOCAL, nullptr, MSHLFLAGS_NORMAL));
    HGLOBAL block = nullptr;
    if (ok && SUCCEEDED(GetHGlobalFromStream(stream, &block))) {
        STATSTG stat = {};
        stream->Stat(&stat, STATFLAG_NONAME);
        ok = WriteBytes(file, GlobalLock(block), stat.cbSize.LowPart);
        GlobalUnlock(block);
    }
    stream->Release();
    return ok;
}

template <class I>
I* UnmarshalFromFile(const std::wstring& file, REFIID iid)
{
    std::vector<BYTE> bytes = ReadBytes(file);
    IStream* stream = nullptr;
    HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE, bytes.size());
    memcpy(GlobalLock(block), bytes.data(), bytes.size());
    GlobalUnlock(block);
    I* object = nullptr;
    if (SUCCEEDED(CreateStreamOnHGlobal(block, TRUE, &stream))) {  // the stream owns the block
        CoUnmarshalInterface(stream, iid, reinterpret_cast<void**>(&object));
        stream->Release();
    } else {
        GlobalFree(block);
    }
    return object;
}

const wchar_t* const kTypeNames[] = {L"bool", L"i1",  L"ui1", L"i2",   L"ui2", L"i4", L"ui4",  L"i8",
                                     L"ui8",  L"int", L"uint", L"r4", L"r8", L"cy", L"date", L"string"};
const VARTYPE kTypes[] = {VT_BOOL, VT_I1, VT_UI1, VT_I2, VT_UI2, VT_I4, VT_UI4, VT_I8,
                          VT_UI8,  VT_INT, VT_UINT, VT_R4, VT_R8, VT_CY, VT_DATE, VT_BSTR};

// The i-th of the mixed items: a scalar (even i) or an 8-element array (odd
// i) of the type (i / 2) % 16, strings as long as the test server's.
void MixedValue(int i, VARIANT* v)
{
    VariantInit(v);
    const VARTYPE type = kTypes[(i / 2) % 16];
    VARIANT scalar;
    VariantInit(&scalar);
    scalar.vt = type;
    scalar.llVal = 0;
    if (type == VT_BSTR)
        scalar.bstrVal = SysAllocString(L"random 12345678");
    if (i % 2 == 0) {
        *v = scalar;
        return;
    }
    SAFEARRAYBOUND bound = {8, 0};
    v->vt = VT_ARRAY | type;
    v->parray = SafeArrayCreate(type, 1, &bound);
    for (LONG k = 0; k < 8; ++k)
        SafeArrayPutElement(v->parray, &k, type == VT_BSTR ? static_cast<void*>(scalar.bstrVal) : &scalar.llVal);
    VariantClear(&scalar);
}

// The peer: calls the parent's sink with one ready block of `items` items
// for `seconds` seconds (after a warm-up) and writes "calls seconds".
int PeerMain(const std::wstring& file, const std::wstring& kind, int items, double seconds)
{
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    const bool mixed = kind == L"callback-mixed";
    const bool callback = kind == L"callback" || mixed;
    IAdviseSink* sink = callback ? nullptr : UnmarshalFromFile<IAdviseSink>(file, IID_IAdviseSink);
    IOPCDataCallback* cb = callback ? UnmarshalFromFile<IOPCDataCallback>(file, IID_IOPCDataCallback) : nullptr;
    if (!sink && !cb)
        return 2;
    // The stream block of the data-with-time format and the callback's arrays.
    const SIZE_T bytes = sizeof(OPCGROUPHEADER) + static_cast<SIZE_T>(items) * (sizeof(OPCITEMHEADER1) + sizeof(VARIANT));
    HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, bytes);
    BYTE* p = static_cast<BYTE*>(GlobalLock(block));
    OPCGROUPHEADER header = {static_cast<DWORD>(bytes), static_cast<DWORD>(items), 1, 0, S_OK};
    memcpy(p, &header, sizeof(header));
    GlobalUnlock(block);
    FORMATETC fe = {static_cast<CLIPFORMAT>(RegisterClipboardFormatW(L"OPCSTMFORMATDATATIME")), nullptr,
                    DVASPECT_CONTENT, -1, TYMED_HGLOBAL};
    std::vector<OPCHANDLE> clients(items);
    std::vector<VARIANT> values(items);
    std::vector<WORD> qualities(items, OPC_QUALITY_GOOD);
    std::vector<FILETIME> times(items);
    std::vector<HRESULT> errors(items, S_OK);
    for (int i = 0; i < items; ++i) {
        clients[i] = i;
        if (mixed) {
            MixedValue(i, &values[i]);
        } else {
            values[i].vt = VT_R8;
            values[i].dblVal = i * 0.001;
        }
        GetSystemTimeAsFileTime(&times[i]);
    }
    auto call = [&] {
        if (cb) {
            cb->OnDataChange(0, 1, S_OK, S_OK, items, clients.data(), values.data(), qualities.data(), times.data(),
                             errors.data());
        } else {
            STGMEDIUM medium = {};
            medium.tymed = TYMED_HGLOBAL;
            medium.hGlobal = block;
            sink->OnDataChange(&fe, &medium);
        }
    };
    for (double t0 = NowUs(); NowUs() - t0 < 500000;)
        call();
    long calls = 0;
    const double t0 = NowUs();
    while (NowUs() - t0 < seconds * 1e6) {
        call();
        ++calls;
    }
    char result[64];
    int n = snprintf(result, sizeof(result), "%ld %.6f", calls, (NowUs() - t0) / 1e6);
    WriteBytes(file + L".out", result, static_cast<DWORD>(n));
    GlobalFree(block);
    for (VARIANT& v : values)
        VariantClear(&v);
    if (sink)
        sink->Release();
    if (cb)
        cb->Release();
    CoUninitialize();
    return 0;
}

// The floor: item updates/s that the peer's ready blocks bring to a sink in
// this process.
double FloorItemsPerSecond(const std::wstring& kind, int items)
{
    const bool callback = kind != L"stream";
    CountingSink sink;
    CountingCallback cb;
    const std::wstring file = TempFile(callback ? L"floor-callback" : L"floor-stream");
    IUnknown* object = callback ? static_cast<IUnknown*>(static_cast<IOPCDataCallback*>(&cb))
                                : static_cast<IUnknown*>(static_cast<IAdviseSink*>(&sink));
    if (!MarshalToFile(object, callback ? IID_IOPCDataCallback : IID_IAdviseSink, file))
        return 0;
    HANDLE peer = Start(L"--peer \"" + file + L"\" " + kind + L" " + std::to_wstring(items) + L" 3");
    if (!peer)
        return 0;
    WaitForSingleObject(peer, 60000);
    CloseHandle(peer);
    std::vector<BYTE> out = ReadBytes(file + L".out");
    out.push_back(0);
    long calls = 0;
    double seconds = 1;
    sscanf(reinterpret_cast<const char*>(out.data()), "%ld %lf", &calls, &seconds);
    DeleteFileW(file.c_str());
    DeleteFileW((file + L".out").c_str());
    CoDisconnectObject(object, 0);
    return calls * static_cast<double>(items) / seconds;
}

// Item updates/s that reach one sink or callback of this process from a
// group of the items (changing at every sample) at `rate` ms, over 3 s.
double Delivered(IOPCServer* server, bool callback, const std::vector<std::wstring>& ids, DWORD rate,
                 double* callsPerSecond)
{
    CountingSink sink;
    CountingCallback cb;
    OPCHANDLE hWatch;
    IOPCItemMgt* watch = AddGroup(server, L"watch", FALSE, rate, &hWatch);
    AddItemIds(watch, ids, TRUE);
    IDataObject* data = nullptr;
    IConnectionPoint* point = nullptr;
    DWORD connection = 0;
    if (callback) {
        IConnectionPointContainer* cpc = nullptr;
        watch->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(&cpc));
        cpc->FindConnectionPoint(IID_IOPCDataCallback, &point);
        cpc->Release();
        point->Advise(&cb, &connection);
    } else {
        watch->QueryInterface(IID_IDataObject, reinterpret_cast<void**>(&data));
        FORMATETC fe = {static_cast<CLIPFORMAT>(RegisterClipboardFormatW(L"OPCSTMFORMATDATATIME")), nullptr,
                        DVASPECT_CONTENT, -1, TYMED_HGLOBAL};
        data->DAdvise(&fe, 0, &sink, &connection);
    }
    std::atomic<long>& received = callback ? cb.items : sink.items;
    std::atomic<long>& calls = callback ? cb.blocks : sink.blocks;
    IOPCGroupStateMgt* state = nullptr;
    watch->QueryInterface(IID_IOPCGroupStateMgt, reinterpret_cast<void**>(&state));
    BOOL on = TRUE;
    DWORD revised;
    state->SetState(nullptr, &revised, &on, nullptr, nullptr, nullptr, nullptr);
    Sleep(500);
    long items0 = received, calls0 = calls;
    double t0 = NowUs();
    Sleep(3000);
    double seconds = (NowUs() - t0) / 1e6;
    double itemsPerSecond = (received - items0) / seconds;
    *callsPerSecond = (calls - calls0) / seconds;
    on = FALSE;
    state->SetState(nullptr, &revised, &on, nullptr, nullptr, nullptr, nullptr);
    if (point) {
        point->Unadvise(connection);
        point->Release();
    } else {
        data->DUnadvise(connection);
        data->Release();
    }
    state->Release();
    watch->Release();
    server->RemoveGroup(hWatch, TRUE);
    return itemsPerSecond;
}

// The test server: 10,000 items of mixed types (its 32 random items, each
// added about 313 times: every scalar type, strings, 8-element arrays of
// each) into one 2.0 callback, as a ratio to 10,000 random.r8 items in the
// same run. Every sample of a random item is a new value.
void MixedTypes()
{
    IOPCServer* test = CreateServerOrSay(CLSID_OPCTestServer);
    if (!test)
        return;
    std::vector<std::wstring> mixed, reals(kManyItems, L"random.r8");
    for (int i = 0; i < kManyItems; ++i)
        mixed.push_back(std::wstring(i % 2 ? L"random.array." : L"random.") + kTypeNames[(i / 2) % 16]);
    const double floor = FloorItemsPerSecond(L"callback-mixed", kManyItems);
    printf("\nThe test server: %d random items of mixed types (every type, its arrays of 8) into one 2.0\n"
           "callback, beside %d random.r8 items, same run (3 s each); the floor: a peer's ready call\n"
           "with the same mix, as fast as it goes\n", kManyItems, kManyItems);
    printf("%-22s %10s %8s %12s %8s %12s %8s\n", "items, update rate", "items/s", "calls/s", "R8 items/s", "of R8",
           "floor", "of floor");
    for (DWORD rate : {0u, 100u}) {
        double mixedCalls = 0, realCalls = 0;
        const double r8 = Delivered(test, true, reals, rate, &realCalls);
        const double m = Delivered(test, true, mixed, rate, &mixedCalls);
        char label[64];
        snprintf(label, sizeof(label), "mixed, %d, %lu ms", kManyItems, static_cast<unsigned long>(rate));
        printf("%-22s %10.0f %8.1f %12.0f %8.2f %12.0f %8.2f\n", label, m, mixedCalls, r8, r8 > 0 ? m / r8 : 0.0,
               floor, floor > 0 ? m / floor : 0.0);
    }
    test->Release();
}

}  // namespace

int ClientMain(int index, int items, DWORD rate, const std::wstring& tag);  // bench_delivery_clients.cpp
int ManyClients(int clients, int items, DWORD rate);

int main(int argc, char** argv)
{
    (void)argv;
    int wargc = 0;
    wchar_t** wargv = CommandLineToArgvW(GetCommandLineW(), &wargc);
    if (wargc >= 6 && std::wstring(wargv[1]) == L"--peer")
        return PeerMain(wargv[2], wargv[3], _wtoi(wargv[4]), _wtof(wargv[5]));
    if (wargc >= 6 && std::wstring(wargv[1]) == L"--client")
        return ClientMain(_wtoi(wargv[2]), _wtoi(wargv[3]), static_cast<DWORD>(_wtoi(wargv[4])), wargv[5]);
    (void)argc;

    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    if (wargc >= 2 && std::wstring(wargv[1]) == L"--mixed") {  // that row alone
        MixedTypes();
        CoUninitialize();
        return 0;
    }
    IOPCServer* server = CreateServerOrSay();
    if (!server)
        return 1;
    HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, FindServerPid());

    // The server's working set per 10,000 active items (sampled, in an
    // active group), beside the same server before.
    printf("Server working set per 10,000 active items (an active group, 10 ms device passes)\n");
    for (int n : {10000, 100000}) {
        OPCHANDLE hGroup;
        Sleep(500);
        const SIZE_T before = WorkingSetOf(process);
        IOPCItemMgt* group = AddGroup(server, L"memory", TRUE, 1000, &hGroup);
        AddItems(group, 500000, n, L"item", TRUE);
        Sleep(1000);
        const SIZE_T after = WorkingSetOf(process);
        printf("  %6d items: %8.1f MB more, %6.2f MB per 10,000\n", n, (after - before) / 1048576.0,
               (after - before) / 1048576.0 * 10000.0 / n);
        group->Release();
        server->RemoveGroup(hGroup, TRUE);
    }

    OPCHANDLE hParams;
    IOPCItemMgt* params = NoiseSets(server, 1, kManyItems, &hParams);
    printf("\nItem updates reaching one client, Noise items in one group (3 s each), beside the floor:\n"
           "the same call with a ready block of the same items from a peer process, as fast as it goes\n");
    printf("%-30s %12s %10s %14s %10s\n", "path, items, update rate", "items/s", "calls/s", "floor items/s",
           "of floor");
    for (bool callback : {false, true}) {
        for (int items : {1000, kManyItems}) {
            const double floor = FloorItemsPerSecond(callback ? L"callback" : L"stream", items);
            for (DWORD rate : {0u, 10u}) {
                double calls = 0;
                const double delivered = Delivered(server, callback, SetItemIds(1, items, L"item"), rate, &calls);
                char label[64];
                snprintf(label, sizeof(label), "%s, %d, %lu ms", callback ? "2.0 callback" : "1.0a stream", items,
                         static_cast<unsigned long>(rate));
                printf("%-30s %12.0f %10.1f %14.0f %10.2f\n", label, delivered, calls, floor, delivered / floor);
            }
        }
    }
    params->Release();
    server->RemoveGroup(hParams, TRUE);
    server->Release();
    CloseHandle(process);
    MixedTypes();
    CoUninitialize();

    printf("\n");
    return ManyClients(8, 1000, 100);
}
