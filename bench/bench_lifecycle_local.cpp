// The same group lifecycles as bench_lifecycle, in-process (no marshalling):
// this process's own working set tells the server's memory from the
// platform's bookkeeping of objects handed to other processes.
#include "opc/OPCSrvr.h"

#include <objbase.h>
#include <psapi.h>

#include <cstdio>

namespace {
SIZE_T WorkingSetKiB()
{
    PROCESS_MEMORY_COUNTERS pmc = {};
    pmc.cb = sizeof(pmc);
    GetProcessMemoryInfo(GetCurrentProcess(), &pmc, sizeof(pmc));
    return pmc.WorkingSetSize / 1024;
}
}  // namespace

int main()
{
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    SetTraceSink(nullptr);
    IOPCServer* server = nullptr;
    COPCServer::CreateInstance(nullptr, IID_IOPCServer, reinterpret_cast<void**>(&server));
    const int kGroups = 3000;
    for (int round = 0; round < 3; ++round) {
        SIZE_T before = WorkingSetKiB();
        for (int i = 0; i < kGroups; ++i) {
            IUnknown* unk = nullptr;
            OPCHANDLE h;
            DWORD revised;
            server->AddGroup(L"", FALSE, 50, 1, nullptr, nullptr, 0, &h, &revised, IID_IOPCItemMgt, &unk);
            unk->Release();
            server->RemoveGroup(h, i % 2);
        }
        SIZE_T after = WorkingSetKiB();
        printf("in-process round %d: %lu KiB -> %lu KiB, %.0f bytes/group\n", round,
               static_cast<unsigned long>(before), static_cast<unsigned long>(after),
               (static_cast<double>(after) - static_cast<double>(before)) * 1024.0 / kGroups);
    }
    server->Release();
    CoUninitialize();
    return 0;
}
