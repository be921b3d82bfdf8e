// vantrel-soak: N client processes run a seeded random mix of every client
// operation against both server classes (a third of the groups on the test
// server, with its typed, array, random and fault items) and check what they
// get back; the parent watches both server processes from outside and
// prints one summary table.
//
//   vantrel-soak [--clients N] [--seconds S] [--seed X] [--sample-seconds P] [--main-only]
//
// --main-only keeps every group on the main class (the same random sequence
// otherwise), to tell the two classes' shares of a finding apart.
//
// Exit code 0 when no check failed.
#include "soak/SoakWorker.h"

#include "ServerProcess.h"

#include <objbase.h>

#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

using namespace soak;

namespace {

// ---------------------------------------------------------------- parent

struct Usage {
    SIZE_T workingSet = 0;
    DWORD handles = 0;
    DWORD threads = 0;
};

struct Sample {
    double minute;
    Usage main, test;  // the two classes' processes
};

Usage Measure(HANDLE process, DWORD pid)
{
    Usage u;
    u.workingSet = WorkingSetOf(process);
    GetProcessHandleCount(process, &u.handles);
    u.threads = ThreadCount(pid);
    return u;
}

// A server process watched from outside.
struct Watched {
    DWORD pid = 0;
    HANDLE process = nullptr;
    void Open(DWORD except)
    {
        pid = FindServerPid(except);
        process = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, pid);
    }
    bool Ended(DWORD ms) const { return WaitForSingleObject(process, ms) == WAIT_OBJECT_0; }
};

int ParentMain(int clients, double seconds, unsigned seed, double sampleSeconds)
{
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    // Holders keep both classes' processes up while the workers come and go
    // (the main class first: its process is then the only one).
    ComPtr<IOPCServer> holder, testHolder;
    HRESULT hr = CoCreateInstance(CLSID_OPCServer, nullptr, CLSCTX_LOCAL_SERVER, IID_IOPCServer,
                                  reinterpret_cast<void**>(holder.GetAddressOf()));
    Watched main, test;
    if (SUCCEEDED(hr)) {
        main.Open(0);
        hr = CoCreateInstance(CLSID_OPCTestServer, nullptr, CLSCTX_LOCAL_SERVER, IID_IOPCServer,
                              reinterpret_cast<void**>(testHolder.GetAddressOf()));
    }
    if (FAILED(hr)) {
        fprintf(stderr, "cannot create the servers: 0x%08lX\n", static_cast<unsigned long>(hr));
        return 2;
    }
    test.Open(main.pid);
    auto sample = [&](double minute) {
        return Sample{minute, Measure(main.process, main.pid), Measure(test.process, test.pid)};
    };
    std::vector<Sample> samples;
    samples.push_back(sample(0));

    wchar_t self[MAX_PATH];
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::vector<PROCESS_INFORMATION> workers(clients);
    std::vector<HANDLE> outputs(clients);
    for (int i = 0; i < clients; ++i) {
        SECURITY_ATTRIBUTES sa = {sizeof(sa), nullptr, TRUE};
        HANDLE readEnd, writeEnd;
        CreatePipe(&readEnd, &writeEnd, &sa, 0);
        SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
        STARTUPINFOW si = {};
        si.cb = sizeof(si);
        si.dwFlags = STARTF_USESTDHANDLES;
        si.hStdOutput = writeEnd;
        si.hStdError = GetStdHandle(STD_ERROR_HANDLE);
        si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
        std::wstring cmd = L"\"" + std::wstring(self) + L"\" --worker --seed " + std::to_wstring(seed + i) +
                           L" --seconds " + std::to_wstring(seconds) + (g_mainOnly ? L" --main-only" : L"");
        std::vector<wchar_t> buf(cmd.begin(), cmd.end());
        buf.push_back(0);
        CreateProcessW(nullptr, buf.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &workers[i]);
        CloseHandle(writeEnd);
        outputs[i] = readEnd;
    }

    // Sample from outside while the workers run.
    DWORD start = GetTickCount();
    bool serverDied = false;
    for (;;) {
        std::vector<HANDLE> waits;
        for (auto& w : workers)
            waits.push_back(w.hProcess);
        DWORD r = WaitForMultipleObjects(static_cast<DWORD>(waits.size()), waits.data(), TRUE,
                                         static_cast<DWORD>(sampleSeconds * 1000));
        if (main.Ended(0) || test.Ended(0))
            serverDied = true;
        if (r != WAIT_TIMEOUT)
            break;
        samples.push_back(sample((GetTickCount() - start) / 60000.0));
        if (GetTickCount() - start > (seconds + 300) * 1000)
            break;  // a worker that never ends is reported below
    }
    samples.push_back(sample((GetTickCount() - start) / 60000.0));

    Counters total;
    int failedWorkers = 0;
    for (int i = 0; i < clients; ++i) {
        std::string out;
        char buf[512];
        DWORD n;
        while (ReadFile(outputs[i], buf, sizeof(buf), &n, nullptr) && n > 0)
            out.append(buf, n);
        CloseHandle(outputs[i]);
        DWORD code = 99;
        if (WaitForSingleObject(workers[i].hProcess, 1000) != WAIT_OBJECT_0)
            TerminateProcess(workers[i].hProcess, 98);
        GetExitCodeProcess(workers[i].hProcess, &code);
        if (code != 0)
            ++failedWorkers;
        Counters c;
        size_t p = out.find("SUMMARY");
        if (p != std::string::npos)
            sscanf(out.c_str() + p, "SUMMARY %ld %ld %ld %ld %ld %ld %ld %ld %ld %ld %ld %ld %ld %ld", &c.calls,
                   &c.violations, &c.asyncIssued, &c.completed, &c.cancelled, &c.lost, &c.twice, &c.dataBlocks,
                   &c.lateItems, &c.backwards, &c.callbackCalls, &c.async2Issued, &c.latestMs, &c.neverDelivered);
        else
            ++failedWorkers;
        total.calls += c.calls;
        total.violations += c.violations;
        total.asyncIssued += c.asyncIssued;
        total.completed += c.completed;
        total.cancelled += c.cancelled;
        total.lost += c.lost;
        total.twice += c.twice;
        total.dataBlocks += c.dataBlocks;
        total.lateItems += c.lateItems;
        total.backwards += c.backwards;
        total.callbackCalls += c.callbackCalls;
        total.async2Issued += c.async2Issued;
        total.latestMs = std::max(total.latestMs, c.latestMs);
        total.neverDelivered += c.neverDelivered;
        CloseHandle(workers[i].hProcess);
        CloseHandle(workers[i].hThread);
    }

    // After every client released everything, each server ends within 2 s.
    holder.Reset();
    testHolder.Reset();
    DWORD t0 = GetTickCount();
    bool ended = main.Ended(10000) && test.Ended(10000);
    DWORD exitMs = GetTickCount() - t0;
    CloseHandle(main.process);
    CloseHandle(test.process);
    CoUninitialize();

    printf("\nVantrel soak: %d clients, %.0f s, seed %u\n\n", clients, seconds, seed);
    printf("| check | result |\n|---|---|\n");
    printf("| client calls made | %ld |\n", total.calls);
    printf("| result codes outside the allowed set | %ld |\n", total.violations);
    printf("| asynchronous transactions started | %ld |\n", total.asyncIssued);
    printf("| ... completed exactly once | %ld |\n", total.completed);
    printf("| ... cancelled | %ld |\n", total.cancelled);
    printf("| ... lost (no completion) | %ld |\n", total.lost);
    printf("| ... completed twice | %ld |\n", total.twice);
    printf("| ... of them through IOPCAsyncIO2 | %ld |\n", total.async2Issued);
    printf("| data changes received (1.0a blocks and 2.0 callbacks) | %ld |\n", total.dataBlocks);
    printf("| 2.0 callback calls received | %ld |\n", total.callbackCalls);
    printf("| active items first delivered later than 3 update periods (+2 s) | %ld |\n", total.lateItems);
    printf("| ... the latest of them, after it was due (ms) | %ld |\n", total.latestMs);
    printf("| active items never delivered (30 s after due) | %ld |\n", total.neverDelivered);
    printf("| time stamps going backwards | %ld |\n", total.backwards);
    printf("| workers that failed | %d |\n", failedWorkers);
    printf("| both servers stayed up (main and test class) | %s |\n", serverDied ? "NO" : "yes");
    printf("| both ended after the last release | %s (%lu ms) |\n", ended ? "yes" : "NO",
           static_cast<unsigned long>(exitMs));
    printf("\n| minute | working set (KiB) | handles | threads | test server: working set (KiB) | handles | threads |\n"
           "|---|---|---|---|---|---|---|\n");
    for (const Sample& s : samples)
        printf("| %.2f | %lu | %lu | %lu | %lu | %lu | %lu |\n", s.minute,
               static_cast<unsigned long>(s.main.workingSet / 1024), static_cast<unsigned long>(s.main.handles),
               static_cast<unsigned long>(s.main.threads), static_cast<unsigned long>(s.test.workingSet / 1024),
               static_cast<unsigned long>(s.test.handles), static_cast<unsigned long>(s.test.threads));
    bool ok = total.violations == 0 && total.lost == 0 && total.twice == 0 && total.neverDelivered == 0 &&
              total.backwards == 0 && failedWorkers == 0 && !serverDied && ended && exitMs <= 2000;
    printf("\n%s\n", ok ? "soak: passed" : "soak: FAILED");
    return ok ? 0 : 1;
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    bool worker = false;
    int clients = 4;
    double seconds = 60;
    unsigned seed = 1;
    double sampleSeconds = 60;
    for (int i = 1; i < argc; ++i) {
        std::wstring a = argv[i];
        auto next = [&]() { return i + 1 < argc ? argv[++i] : L"0"; };
        if (a == L"--worker")
            worker = true;
        else if (a == L"--main-only")
            g_mainOnly = true;
        else if (a == L"--clients")
            clients = _wtoi(next());
        else if (a == L"--seconds")
            seconds = _wtof(next());
        else if (a == L"--seed")
            seed = static_cast<unsigned>(_wtoi(next()));
        else if (a == L"--sample-seconds")
            sampleSeconds = _wtof(next());
        else {
            fprintf(stderr, "usage: vantrel-soak [--clients N] [--seconds S] [--seed X] [--sample-seconds P] "
                            "[--main-only]\n");
            return 2;
        }
    }
    setvbuf(stdout, nullptr, _IOLBF, 4096);
    return worker ? WorkerMain(seed, seconds) : ParentMain(clients, seconds, seed, sampleSeconds);
}
