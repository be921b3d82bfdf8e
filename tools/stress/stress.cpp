// Group-lifecycle stress: several client processes add groups, use them and
// remove them (with and without force) as fast as they can, while the parent
// watches every client's progress. A client that makes no progress for the
// stall time is reported as a hang, with the step it is stuck in.
//
//   vantrel-stress [--clients N] [--seconds S] [--stall-seconds T] [--rounds R]
//
// Exit code 0 when every round ended with no hang and no failed call, 1 on a
// hang, 2 on a failed call or a client that could not start.
#include "ServerProcess.h"
#include "ItemDefs.h"
#include "common/OpcDefs.h"

#include <objbase.h>

#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <string>
#include <vector>

namespace {

enum Step : LONG { kStart, kAddGroup, kAddItems, kRead, kAdvise, kUnadvise, kRelease, kRemove, kDone, kSteps };
const char* const kStepNames[kSteps] = {"CoCreateInstance", "AddGroup",         "AddItems",
                                        "SyncIO::Read",     "DAdvise",          "DUnadvise",
                                        "Release",          "RemoveGroup",      "done"};

struct ClientSlot {
    volatile LONG lifecycles;
    volatile LONG step;
    volatile DWORD lastProgress;  // GetTickCount of the last finished step
    volatile LONG failures;
    volatile HRESULT firstFailure;
    volatile LONG failedStep;
};

struct Shared {
    ClientSlot slots[64];
};

struct Options {
    int clients = 4;
    int seconds = 30;
    int stallSeconds = 20;
    int rounds = 1;
    int child = -1;
    std::wstring map;
};

class NullSink : public IAdviseSink {
public:
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override
    {
        if (riid == IID_IUnknown || riid == IID_IAdviseSink) {
            *ppv = static_cast<IAdviseSink*>(this);
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }
    STDMETHODIMP_(void) OnDataChange(FORMATETC*, STGMEDIUM*) override {}
    STDMETHODIMP_(void) OnViewChange(DWORD, LONG) override {}
    STDMETHODIMP_(void) OnRename(IMoniker*) override {}
    STDMETHODIMP_(void) OnSave() override {}
    STDMETHODIMP_(void) OnClose() override {}
};

void Enter(ClientSlot& slot, Step step)
{
    slot.lastProgress = GetTickCount();
    InterlockedExchange(&slot.step, step);
}

void Check(ClientSlot& slot, HRESULT hr)
{
    if (FAILED(hr)) {
        if (InterlockedIncrement(&slot.failures) == 1) {
            slot.firstFailure = hr;
            slot.failedStep = slot.step;
        }
    }
}

// One lifecycle: a group with three items, a read, an advise connection on
// every second one, removal with force on every second one.
void Lifecycle(IOPCServer* server, ClientSlot& slot, int n)
{
    static NullSink sink;
    Enter(slot, kAddGroup);
    IOPCItemMgt* mgt = nullptr;
    OPCHANDLE hGroup = 0;
    DWORD revised = 0;
    wchar_t name[32];
    swprintf(name, 32, L"stress%d", n);
    HRESULT hr = server->AddGroup(n % 3 ? name : L"", n % 4 == 0, 50, 1, nullptr, nullptr, 0, &hGroup, &revised,
                                  IID_IOPCItemMgt, reinterpret_cast<IUnknown**>(&mgt));
    Check(slot, hr);
    if (FAILED(hr))
        return;
    Enter(slot, kAddItems);
    const wchar_t* ids[3] = {L"set1.item", L"set2.period", L"set3.item"};
    OPCITEMDEF defs[3];
    FillItemDefs(defs, ids, 3);
    OPCITEMRESULT* results = nullptr;
    HRESULT* errors = nullptr;
    hr = mgt->AddItems(3, defs, &results, &errors);
    Check(slot, hr);
    OPCHANDLE handles[3] = {};
    if (SUCCEEDED(hr)) {
        for (int k = 0; k < 3; ++k)
            handles[k] = results[k].hServer;
        CoTaskMemFree(results);
        CoTaskMemFree(errors);
        Enter(slot, kRead);
        IOPCSyncIO* sync = nullptr;
        Check(slot, mgt->QueryInterface(IID_IOPCSyncIO, reinterpret_cast<void**>(&sync)));
        if (sync) {
            OPCITEMSTATE* states = nullptr;
            hr = sync->Read(n % 2 ? OPC_DS_DEVICE : OPC_DS_CACHE, 3, handles, &states, &errors);
            Check(slot, hr);
            if (SUCCEEDED(hr)) {
                for (int k = 0; k < 3; ++k)
                    VariantClear(&states[k].vDataValue);
                CoTaskMemFree(states);
                CoTaskMemFree(errors);
            }
            sync->Release();
        }
    }
    if (n % 2 == 0) {
        Enter(slot, kAdvise);
        IDataObject* data = nullptr;
        Check(slot, mgt->QueryInterface(IID_IDataObject, reinterpret_cast<void**>(&data)));
        if (data) {
            FORMATETC fe = {static_cast<CLIPFORMAT>(RegisterClipboardFormatW(L"OPCSTMFORMATDATATIME")), nullptr,
                            DVASPECT_CONTENT, -1, TYMED_HGLOBAL};
            DWORD connection = 0;
            hr = data->DAdvise(&fe, 0, &sink, &connection);
            Check(slot, hr);
            Enter(slot, kUnadvise);
            if (SUCCEEDED(hr))
                Check(slot, data->DUnadvise(connection));
            data->Release();
        }
    }
    Enter(slot, kRelease);
    mgt->Release();
    Enter(slot, kRemove);
    // A forced removal may find the group gone already only if it failed.
    Check(slot, server->RemoveGroup(hGroup, n % 2));
    InterlockedIncrement(&slot.lifecycles);
    slot.lastProgress = GetTickCount();
}

int RunChild(const Options& o)
{
    HANDLE map = OpenFileMappingW(FILE_MAP_ALL_ACCESS, FALSE, o.map.c_str());
    if (!map)
        return 2;
    auto* shared = static_cast<Shared*>(MapViewOfFile(map, FILE_MAP_ALL_ACCESS, 0, 0, sizeof(Shared)));
    ClientSlot& slot = shared->slots[o.child];
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    Enter(slot, kStart);
    IOPCServer* server = nullptr;
    HRESULT hr = CoCreateInstance(CLSID_OPCServer, nullptr, CLSCTX_LOCAL_SERVER, IID_IOPCServer,
                                  reinterpret_cast<void**>(&server));
    Check(slot, hr);
    if (FAILED(hr))
        return 2;
    const DWORD end = GetTickCount() + static_cast<DWORD>(o.seconds) * 1000;
    for (int n = 0; static_cast<LONG>(end - GetTickCount()) > 0; ++n)
        Lifecycle(server, slot, n);
    Enter(slot, kRelease);
    server->Release();
    Enter(slot, kDone);
    CoUninitialize();
    return slot.failures ? 2 : 0;
}

// One round: the clients against one server; 0, 1 (hang) or 2 (failure).
int RunRound(const Options& o, int round)
{
    wchar_t mapName[64];
    swprintf(mapName, 64, L"Local\\VantrelStress%lu_%d", GetCurrentProcessId(), round);
    HANDLE map = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, sizeof(Shared), mapName);
    auto* shared = static_cast<Shared*>(MapViewOfFile(map, FILE_MAP_ALL_ACCESS, 0, 0, sizeof(Shared)));
    ZeroMemory(shared, sizeof(Shared));
    wchar_t self[MAX_PATH];
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    // The parent holds a server object for the round, so that the clients
    // share one server process instead of racing to start their own.
    IOPCServer* holder = nullptr;
    if (FAILED(CoCreateInstance(CLSID_OPCServer, nullptr, CLSCTX_LOCAL_SERVER, IID_IOPCServer,
                                reinterpret_cast<void**>(&holder)))) {
        printf("cannot create the server (register it first)\n");
        return 2;
    }
    std::vector<PROCESS_INFORMATION> children(o.clients);
    const DWORD start = GetTickCount();
    for (int i = 0; i < o.clients; ++i) {
        shared->slots[i].lastProgress = GetTickCount();
        std::wstring cmd = L"\"" + std::wstring(self) + L"\" --child " + std::to_wstring(i) + L" --map " + mapName +
                           L" --seconds " + std::to_wstring(o.seconds);
        std::vector<wchar_t> buf(cmd.begin(), cmd.end());
        buf.push_back(0);
        STARTUPINFOW si = {};
        si.cb = sizeof(si);
        if (!CreateProcessW(nullptr, buf.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &children[i])) {
            printf("cannot start client %d\n", i);
            return 2;
        }
    }
    int result = 0;
    for (;;) {
        std::vector<HANDLE> running;
        for (auto& c : children)
            if (WaitForSingleObject(c.hProcess, 0) == WAIT_TIMEOUT)
                running.push_back(c.hProcess);
        if (running.empty())
            break;
        const DWORD now = GetTickCount();
        for (int i = 0; i < o.clients; ++i) {
            ClientSlot& s = shared->slots[i];
            if (s.step == kDone || WaitForSingleObject(children[i].hProcess, 0) != WAIT_TIMEOUT)
                continue;
            const LONG age = static_cast<LONG>(now - s.lastProgress);  // the client may have moved on since
            if (age > o.stallSeconds * 1000L) {
                printf("HANG: client %d (pid %lu) stuck in %s for %ld s after %ld lifecycles; server pid %lu\n", i,
                       children[i].dwProcessId, kStepNames[s.step], age / 1000, s.lifecycles, FindServerPid());
                result = 1;
            }
        }
        if (result == 1)
            break;
        WaitForMultipleObjects(static_cast<DWORD>(running.size()), running.data(), FALSE, 250);
    }
    const double seconds = (GetTickCount() - start) / 1000.0;
    long total = 0;
    for (int i = 0; i < o.clients; ++i) {
        ClientSlot& s = shared->slots[i];
        total += s.lifecycles;
        DWORD code = 0;
        GetExitCodeProcess(children[i].hProcess, &code);
        if (s.failures) {
            printf("client %d: %ld failed calls, first 0x%08lX in %s\n", i, s.failures,
                   static_cast<unsigned long>(s.firstFailure), kStepNames[s.failedStep]);
            if (result == 0)
                result = 2;
        } else if (result == 0 && code != 0) {
            printf("client %d ended with exit code %lu\n", i, code);
            result = 2;
        }
    }
    printf("round %d: %d clients, %ld group lifecycles in %.1f s (%.0f per second), hangs: %d\n", round,
           o.clients, total, seconds, total / seconds, result == 1 ? 1 : 0);
    fflush(stdout);
    if (result == 1) {
        // Leave the hung processes for a debugger only when asked; otherwise
        // end the clients so the caller's session can end.
        if (!getenv("VANTREL_STRESS_KEEP"))
            for (auto& c : children)
                TerminateProcess(c.hProcess, 1);
    }
    for (auto& c : children) {
        CloseHandle(c.hProcess);
        CloseHandle(c.hThread);
    }
    if (result != 1)
        holder->Release();  // a hung server may never answer
    UnmapViewOfFile(shared);
    CloseHandle(map);
    return result;
}

Options Parse(int argc, wchar_t** argv)
{
    Options o;
    for (int i = 1; i + 1 < argc; i += 2) {
        std::wstring a = argv[i];
        if (a == L"--clients")
            o.clients = _wtoi(argv[i + 1]);
        else if (a == L"--seconds")
            o.seconds = _wtoi(argv[i + 1]);
        else if (a == L"--stall-seconds")
            o.stallSeconds = _wtoi(argv[i + 1]);
        else if (a == L"--rounds")
            o.rounds = _wtoi(argv[i + 1]);
        else if (a == L"--child")
            o.child = _wtoi(argv[i + 1]);
        else if (a == L"--map")
            o.map = argv[i + 1];
    }
    if (o.clients < 1)
        o.clients = 1;
    if (o.clients > 64)
        o.clients = 64;
    return o;
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    Options o = Parse(argc, argv);
    if (o.child >= 0)
        return RunChild(o);
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    for (int round = 1; round <= o.rounds; ++round) {
        int rc = RunRound(o, round);
        if (rc != 0)
            return rc;
        // The server ends after the last client; the next round starts a new one.
        for (int i = 0; i < 100 && FindServerPid() != 0; ++i)
            Sleep(100);
    }
    return 0;
}
