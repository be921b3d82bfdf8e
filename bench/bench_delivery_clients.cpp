// Many clients at once: client processes, each with one group of Noise
// items and a data callback, counting the item updates that reach them and
// those that arrive later than two update periods after their sample; the
// parent measures the server's CPU time over the same window.
#include "BenchGroups.h"
#include "BenchUtil.h"
#include "ServerProcess.h"

#include <objbase.h>
#include <ocidl.h>

#include <atomic>
#include <cstring>
#include <cstdio>
#include <string>
#include <vector>

namespace {

std::wstring Name(const wchar_t* what, const std::wstring& tag) { return L"vantrel-bench-" + std::wstring(what) + tag; }

std::wstring ResultFile(const std::wstring& tag, int index)
{
    wchar_t dir[MAX_PATH] = L"";
    GetTempPathW(MAX_PATH, dir);
    return std::wstring(dir) + L"vantrel-client-" + tag + L"-" + std::to_wstring(index) + L".out";
}

ULONGLONG Ticks(const FILETIME& t) { return (static_cast<ULONGLONG>(t.dwHighDateTime) << 32) | t.dwLowDateTime; }

// Counts, while counting is on, the items of every data change and those
// whose sample is older than `lateMs` when they arrive.
class LatenessCallback : public CountingCallback {
public:
    explicit LatenessCallback(DWORD lateMs) : m_late100ns(static_cast<ULONGLONG>(lateMs) * 10000) {}
    STDMETHODIMP OnDataChange(DWORD tid, OPCHANDLE, HRESULT, HRESULT, DWORD count, OPCHANDLE*, VARIANT*, WORD*,
                              FILETIME* times, HRESULT*) override
    {
        if (tid != 0 || !counting)
            return S_OK;
        FILETIME now;
        GetSystemTimeAsFileTime(&now);
        const ULONGLONG n = Ticks(now);
        long late = 0;
        for (DWORD i = 0; i < count; ++i) {
            const ULONGLONG t = Ticks(times[i]);
            if (n > t && n - t > m_late100ns)
                ++late;
            if (n > t && n - t > maxAge100ns)
                maxAge100ns = n - t;
        }
        items += count;
        lateItems += late;
        ++blocks;
        return S_OK;
    }
    std::atomic<bool> counting{false};
    std::atomic<long> lateItems{0};
    std::atomic<ULONGLONG> maxAge100ns{0};

private:
    ULONGLONG m_late100ns;
};

// Under Wine GetProcessTimes does not give another process's times; there
// the server's come from the Linux process running Vantrel.exe (its
// /proc/PID/stat, through the Z: drive): user and system time in clock
// ticks of 10 ms.
ULONGLONG CpuTimeFromProc()
{
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW(L"Z:\\proc\\*", &found);
    if (search == INVALID_HANDLE_VALUE)
        return 0;
    ULONGLONG total = 0;
    do {
        if (found.cFileName[0] < L'0' || found.cFileName[0] > L'9')
            continue;
        const std::wstring dir = std::wstring(L"Z:\\proc\\") + found.cFileName;
        HANDLE f = CreateFileW((dir + L"\\cmdline").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                               nullptr);
        if (f == INVALID_HANDLE_VALUE)
            continue;
        char cmd[1024] = "";
        DWORD read = 0;
        ReadFile(f, cmd, sizeof(cmd) - 1, &read, nullptr);
        CloseHandle(f);
        for (DWORD i = 0; i < read; ++i)
            if (cmd[i] == 0)
                cmd[i] = ' ';
        cmd[read] = 0;
        if (!strstr(cmd, "Vantrel.exe"))
            continue;
        f = CreateFileW((dir + L"\\stat").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
        if (f == INVALID_HANDLE_VALUE)
            continue;
        char stat[1024] = "";
        ReadFile(f, stat, sizeof(stat) - 1, &read, nullptr);
        CloseHandle(f);
        stat[read] = 0;
        // After the command name in parentheses: fields 3 on; utime and
        // stime are fields 14 and 15.
        const char* p = strrchr(stat, ')');
        unsigned long long utime = 0, stime = 0;
        if (p && sscanf(p + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %llu %llu", &utime, &stime) == 2)
            total += (utime + stime) * 100000;  // ticks of 10 ms in 100 ns units
    } while (FindNextFileW(search, &found));
    FindClose(search);
    return total;
}

bool UnderWine() { return GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr; }

ULONGLONG CpuTime(HANDLE process)
{
    if (UnderWine())
        return CpuTimeFromProc();
    FILETIME created, exited, kernel, user;
    if (!GetProcessTimes(process, &created, &exited, &kernel, &user))
        return 0;
    return Ticks(kernel) + Ticks(user);
}

}  // namespace

int ClientMain(int index, int items, DWORD rate, const std::wstring& tag)
{
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    IOPCServer* server = nullptr;
    if (FAILED(CoCreateInstance(CLSID_OPCServer, nullptr, CLSCTX_LOCAL_SERVER, IID_IOPCServer,
                                reinterpret_cast<void**>(&server))))
        return 2;
    const int first = 1 + index * items;
    OPCHANDLE hParams, hGroup;
    IOPCItemMgt* params = NoiseSets(server, first, items, &hParams);
    IOPCItemMgt* group = AddGroup(server, L"", FALSE, rate, &hGroup);
    AddItems(group, first, items, L"item", TRUE);
    LatenessCallback callback(2 * rate);
    IConnectionPointContainer* cpc = nullptr;
    IConnectionPoint* point = nullptr;
    DWORD cookie = 0;
    group->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(&cpc));
    cpc->FindConnectionPoint(IID_IOPCDataCallback, &point);
    point->Advise(&callback, &cookie);
    IOPCGroupStateMgt* state = nullptr;
    group->QueryInterface(IID_IOPCGroupStateMgt, reinterpret_cast<void**>(&state));
    BOOL on = TRUE;
    DWORD revised;
    state->SetState(nullptr, &revised, &on, nullptr, nullptr, nullptr, nullptr);

    HANDLE ready = OpenSemaphoreW(SEMAPHORE_MODIFY_STATE, FALSE, Name(L"ready-", tag).c_str());
    HANDLE start = OpenEventW(SYNCHRONIZE, FALSE, Name(L"start-", tag).c_str());
    HANDLE stop = OpenEventW(SYNCHRONIZE, FALSE, Name(L"stop-", tag).c_str());
    ReleaseSemaphore(ready, 1, nullptr);
    WaitForSingleObject(start, 120000);
    callback.counting = true;
    WaitForSingleObject(stop, 120000);
    callback.counting = false;
    char result[96];
    int n = snprintf(result, sizeof(result), "%ld %ld %ld %.1f", callback.items.load(), callback.lateItems.load(),
                     callback.blocks.load(), callback.maxAge100ns.load() / 10000.0);
    HANDLE f = CreateFileW(ResultFile(tag, index).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    DWORD written = 0;
    WriteFile(f, result, static_cast<DWORD>(n), &written, nullptr);
    CloseHandle(f);

    on = FALSE;
    state->SetState(nullptr, &revised, &on, nullptr, nullptr, nullptr, nullptr);
    point->Unadvise(cookie);
    point->Release();
    cpc->Release();
    state->Release();
    group->Release();
    params->Release();
    server->RemoveGroup(hGroup, TRUE);
    server->RemoveGroup(hParams, TRUE);
    server->Release();
    for (HANDLE h : {ready, start, stop})
        CloseHandle(h);
    CoUninitialize();
    return 0;
}

int ManyClients(int clients, int items, DWORD rate)
{
    // One server, running before the clients come: their activations all
    // reach it (racing first activations can start one server each).
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    IOPCServer* held = nullptr;
    CoCreateInstance(CLSID_OPCServer, nullptr, CLSCTX_LOCAL_SERVER, IID_IOPCServer, reinterpret_cast<void**>(&held));
    const std::wstring tag = std::to_wstring(GetCurrentProcessId());
    HANDLE ready = CreateSemaphoreW(nullptr, 0, clients, Name(L"ready-", tag).c_str());
    HANDLE start = CreateEventW(nullptr, TRUE, FALSE, Name(L"start-", tag).c_str());
    HANDLE stop = CreateEventW(nullptr, TRUE, FALSE, Name(L"stop-", tag).c_str());
    wchar_t self[MAX_PATH] = L"";
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::vector<HANDLE> processes;
    for (int i = 0; i < clients; ++i) {
        std::wstring line = L"\"" + std::wstring(self) + L"\" --client " + std::to_wstring(i) + L" " +
                            std::to_wstring(items) + L" " + std::to_wstring(rate) + L" " + tag;
        STARTUPINFOW si = {};
        si.cb = sizeof(si);
        PROCESS_INFORMATION pi = {};
        if (CreateProcessW(nullptr, &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) {
            CloseHandle(pi.hThread);
            processes.push_back(pi.hProcess);
        }
    }
    int readyCount = 0;
    while (readyCount < static_cast<int>(processes.size()) && WaitForSingleObject(ready, 120000) == WAIT_OBJECT_0)
        ++readyCount;
    Sleep(1000);
    HANDLE server = OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, FindServerPid());
    const ULONGLONG cpu0 = CpuTime(server);
    const double t0 = NowUs();
    SetEvent(start);
    Sleep(5000);
    SetEvent(stop);
    const double seconds = (NowUs() - t0) / 1e6;
    const ULONGLONG cpu1 = CpuTime(server);
    WaitForMultipleObjects(static_cast<DWORD>(processes.size()), processes.data(), TRUE, 120000);

    long items_ = 0, late = 0, blocks = 0;
    double maxAgeMs = 0;
    for (int i = 0; i < static_cast<int>(processes.size()); ++i) {
        HANDLE f = CreateFileW(ResultFile(tag, i).c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        char text[96] = "";
        DWORD read = 0;
        if (f != INVALID_HANDLE_VALUE) {
            ReadFile(f, text, sizeof(text) - 1, &read, nullptr);
            CloseHandle(f);
        }
        long a = 0, b = 0, c = 0;
        double age = 0;
        sscanf(text, "%ld %ld %ld %lf", &a, &b, &c, &age);
        items_ += a;
        late += b;
        blocks += c;
        maxAgeMs = age > maxAgeMs ? age : maxAgeMs;
        DeleteFileW(ResultFile(tag, i).c_str());
        CloseHandle(processes[i]);
    }
    const double cpuSeconds = (cpu1 - cpu0) / 1e7;
    printf("%d client processes, one group of %d Noise items each at %lu ms, %.1f s:\n", readyCount, items,
           static_cast<unsigned long>(rate), seconds);
    printf("  item updates delivered:       %ld (%.0f/s, %ld callbacks)\n", items_, items_ / seconds, blocks);
    printf("  server CPU time:              %.2f s (%.0f %% of one core)\n", cpuSeconds, 100.0 * cpuSeconds / seconds);
    printf("  server CPU per million updates: %.2f s\n", items_ ? cpuSeconds * 1e6 / items_ : 0.0);
    printf("  later than two update periods after their sample: %ld of %ld (%.3f %%), oldest %.1f ms\n", late,
           items_, items_ ? 100.0 * late / items_ : 0.0, maxAgeMs);
    CloseHandle(server);
    for (HANDLE h : {ready, start, stop})
        CloseHandle(h);
    if (held)
        held->Release();
    CoUninitialize();
    return 0;
}
