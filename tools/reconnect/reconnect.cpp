// Connect / GetStatus / release cycles with no pause between them, from one
// client process or from several taking turns: every activation must reach
// a living server (or start a new one) while the previous client's server
// is deciding whether to end.
//
//   vantrel-reconnect [--cycles N] [--clients K] [--clsid {...}] [--stall-seconds T]
//
// With K > 1 the clients are processes of their own that take turns, one
// cycle each. Exit code 0 when every cycle succeeded, 1 on a hang (a cycle
// that did not end within the stall time), 2 on a failed call.
#include "common/OpcDefs.h"

#include <objbase.h>

#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <string>
#include <vector>

namespace {

struct Options {
    int cycles = 500;
    int clients = 1;
    int child = -1;
    int stallSeconds = 60;
    int jitterUs = 0;  // a random pause of up to this long before each cycle
    std::wstring turns;  // prefix of the turn events' names (children)
    std::wstring clsid;
};

volatile LONG g_cycle = 0;
volatile DWORD g_cycleStart = 0;
volatile LONG g_step = 0;
const char* const kSteps[] = {"CoCreateInstance", "GetStatus", "Release"};

// Ends the process when one cycle takes longer than the stall time: a call
// that never returns cannot be reported any other way.
DWORD WINAPI Watchdog(void* param)
{
    const DWORD stallMs = *static_cast<DWORD*>(param);
    for (;;) {
        Sleep(500);
        DWORD start = g_cycleStart;
        if (start && GetTickCount() - start > stallMs) {
            printf("HANG: cycle %ld stuck in %s for more than %lu s\n", g_cycle, kSteps[g_step], stallMs / 1000);
            fflush(stdout);
            TerminateProcess(GetCurrentProcess(), 1);
        }
    }
}

// One cycle; the failure, if any, is printed with the step it came from.
// With a hand-over event, the next client's turn begins just before this
// one releases: its activation races the release of the last object.
bool Cycle(const CLSID& clsid, int n, HANDLE handOver)
{
    g_cycle = n;
    g_step = 0;
    g_cycleStart = GetTickCount();
    IOPCServer* server = nullptr;
    HRESULT hr = CoCreateInstance(clsid, nullptr, CLSCTX_LOCAL_SERVER, IID_IOPCServer,
                                  reinterpret_cast<void**>(&server));
    if (SUCCEEDED(hr)) {
        g_step = 1;
        OPCSERVERSTATUS* status = nullptr;
        hr = server->GetStatus(&status);
        if (SUCCEEDED(hr) && status) {
            CoTaskMemFree(status->szVendorInfo);
            CoTaskMemFree(status);
        }
        g_step = 2;
        if (handOver)
            SetEvent(handOver);
        server->Release();
    } else if (handOver) {
        SetEvent(handOver);
    }
    g_cycleStart = 0;
    if (FAILED(hr)) {
        printf("cycle %d (pid %lu): %s failed: 0x%08lX\n", n, GetCurrentProcessId(), kSteps[g_step],
               static_cast<unsigned long>(hr));
        fflush(stdout);
    }
    return SUCCEEDED(hr);
}

// A pause of a few microseconds: spins on the performance counter.
void Pause(LONGLONG us)
{
    LARGE_INTEGER f, t0, t;
    QueryPerformanceFrequency(&f);
    QueryPerformanceCounter(&t0);
    do
        QueryPerformanceCounter(&t);
    while ((t.QuadPart - t0.QuadPart) * 1000000 / f.QuadPart < us);
}

HANDLE TurnEvent(const std::wstring& prefix, int i)
{
    std::wstring name = prefix + std::to_wstring(i);
    return CreateEventW(nullptr, FALSE, FALSE, name.c_str());
}

// The cycles of one client; with turn events, one cycle per turn.
int RunCycles(const Options& o, const CLSID& clsid, HANDLE myTurn, HANDLE nextTurn)
{
    DWORD stallMs = static_cast<DWORD>(o.stallSeconds) * 1000;
    HANDLE watchdog = CreateThread(nullptr, 0, &Watchdog, &stallMs, 0, nullptr);
    int failures = 0;
    for (int n = 0; n < o.cycles; ++n) {
        if (myTurn && WaitForSingleObject(myTurn, stallMs) != WAIT_OBJECT_0) {
            printf("HANG: client %d waited %d s for its turn\n", o.child, o.stallSeconds);
            return 1;
        }
        if (o.jitterUs > 0)
            Pause(static_cast<LONGLONG>(((rand() << 15) | rand()) % o.jitterUs));
        if (!Cycle(clsid, n, nextTurn))
            ++failures;
    }
    (void)watchdog;
    return failures ? 2 : 0;
}

int RunClients(const Options& o, const CLSID& clsid)
{
    wchar_t self[MAX_PATH];
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    wchar_t prefix[64];
    swprintf(prefix, 64, L"Local\\VantrelReconnect%lu_", GetCurrentProcessId());
    std::vector<HANDLE> turns;
    for (int i = 0; i < o.clients; ++i)
        turns.push_back(TurnEvent(prefix, i));
    std::vector<PROCESS_INFORMATION> children(o.clients);
    for (int i = 0; i < o.clients; ++i) {
        std::wstring cmd = L"\"" + std::wstring(self) + L"\" --child " + std::to_wstring(i) + L" --clients " +
                           std::to_wstring(o.clients) + L" --cycles " + std::to_wstring(o.cycles) + L" --turns " +
                           prefix + L" --stall-seconds " + std::to_wstring(o.stallSeconds) + L" --clsid " + o.clsid + L" --jitter-us " + std::to_wstring(o.jitterUs);
        std::vector<wchar_t> buf(cmd.begin(), cmd.end());
        buf.push_back(0);
        STARTUPINFOW si = {};
        si.cb = sizeof(si);
        if (!CreateProcessW(nullptr, buf.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &children[i])) {
            printf("cannot start client %d\n", i);
            return 2;
        }
    }
    SetEvent(turns[0]);
    int result = 0;
    for (int i = 0; i < o.clients; ++i) {
        WaitForSingleObject(children[i].hProcess, INFINITE);
        DWORD code = 0;
        GetExitCodeProcess(children[i].hProcess, &code);
        if (code != 0 && (result == 0 || code == 1))
            result = static_cast<int>(code);
        CloseHandle(children[i].hProcess);
        CloseHandle(children[i].hThread);
    }
    for (HANDLE h : turns)
        CloseHandle(h);
    return result;
}

Options Parse(int argc, wchar_t** argv)
{
    Options o;
    for (int i = 1; i + 1 < argc; i += 2) {
        std::wstring a = argv[i];
        if (a == L"--cycles")
            o.cycles = _wtoi(argv[i + 1]);
        else if (a == L"--clients")
            o.clients = _wtoi(argv[i + 1]);
        else if (a == L"--child")
            o.child = _wtoi(argv[i + 1]);
        else if (a == L"--turns")
            o.turns = argv[i + 1];
        else if (a == L"--stall-seconds")
            o.stallSeconds = _wtoi(argv[i + 1]);
        else if (a == L"--jitter-us")
            o.jitterUs = _wtoi(argv[i + 1]);
        else if (a == L"--clsid")
            o.clsid = argv[i + 1];
    }
    if (o.clients < 1)
        o.clients = 1;
    if (o.clients > 16)
        o.clients = 16;
    return o;
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    Options o = Parse(argc, argv);
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    CLSID clsid = CLSID_OPCServer;
    if (o.clsid.empty()) {
        LPOLESTR text = nullptr;
        StringFromCLSID(clsid, &text);
        o.clsid = text;
        CoTaskMemFree(text);
    } else if (FAILED(CLSIDFromString(o.clsid.c_str(), &clsid))) {
        printf("not a CLSID: %ls\n", o.clsid.c_str());
        return 2;
    }
    int rc;
    const DWORD start = GetTickCount();
    if (o.child >= 0) {
        HANDLE mine = TurnEvent(o.turns, o.child);
        HANDLE next = TurnEvent(o.turns, (o.child + 1) % o.clients);
        srand(GetCurrentProcessId());
        rc = RunCycles(o, clsid, mine, next);
    } else if (o.clients > 1) {
        rc = RunClients(o, clsid);
    } else {
        rc = RunCycles(o, clsid, nullptr, nullptr);
    }
    if (o.child < 0)
        printf("%d client(s), %d cycles each in %.1f s: %s\n", o.clients, o.cycles, (GetTickCount() - start) / 1000.0,
               rc == 0 ? "no failure" : rc == 1 ? "HANG" : "FAILED");
    CoUninitialize();
    return rc;
}
