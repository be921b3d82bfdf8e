// Cross-process figures, each beside a bare COM round trip on the same server
// measured in the same run: synchronous reads. (Item updates reaching
// clients: bench_delivery.)
#include "BenchGroups.h"
#include "BenchUtil.h"
#include "common/OpcDefs.h"

#include <objbase.h>
#include <ocidl.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <string>
#include <vector>

namespace {
double ReadUs(IOPCSyncIO* sync, OPCDATASOURCE source, const std::vector<OPCHANDLE>& h, DWORD n, int calls)
{
    double best = 1e300;
    for (int r = 0; r < 3; ++r) {
        double t0 = NowUs();
        for (int c = 0; c < calls; ++c) {
            OPCITEMSTATE* states = nullptr;
            HRESULT* errors = nullptr;
            sync->Read(source, n, const_cast<OPCHANDLE*>(h.data()), &states, &errors);
            for (DWORD i = 0; i < n; ++i)
                VariantClear(&states[i].vDataValue);
            CoTaskMemFree(states);
            CoTaskMemFree(errors);
        }
        best = std::min(best, (NowUs() - t0) / calls);
    }
    return best;
}
}  // namespace

int main()
{
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    IOPCServer* server = CreateServerOrSay();
    if (!server)
        return 1;
    const int kItems = 1000;
    OPCHANDLE hParams, hRead;
    IOPCItemMgt* params = AddGroup(server, L"params", FALSE, 1000, &hParams);

    // The bare round trip: a call that does nothing but answer.
    IOPCGroupStateMgt* state = nullptr;
    params->QueryInterface(IID_IOPCGroupStateMgt, reinterpret_cast<void**>(&state));
    double bare = 1e300;
    for (int r = 0; r < 3; ++r) {
        double t0 = NowUs();
        for (int c = 0; c < 300; ++c) {
            DWORD revised;
            state->SetState(nullptr, &revised, nullptr, nullptr, nullptr, nullptr, nullptr);
        }
        bare = std::min(bare, (NowUs() - t0) / 300);
    }
    printf("Bare COM round trip (IOPCGroupStateMgt::SetState, nothing set): %.0f us\n\n", bare);

    IOPCItemMgt* read = AddGroup(server, L"read", FALSE, 1000, &hRead);
    std::vector<OPCHANDLE> hr1 = AddItems(read, 1, kItems, L"item", TRUE);
    IOPCSyncIO* sync = nullptr;
    read->QueryInterface(IID_IOPCSyncIO, reinterpret_cast<void**>(&sync));
    printf("Synchronous reads (best of 3)\n");
    printf("%-24s %12s %14s %16s\n", "", "us/call", "items/s", "call / bare call");
    for (DWORD n : {1u, 100u, 1000u}) {
        double us = ReadUs(sync, OPC_DS_CACHE, hr1, n, n == 1000 ? 50 : 200);
        printf("cache read of %-10lu %12.0f %14.0f %16.2f\n", static_cast<unsigned long>(n), us, n * 1e6 / us,
               us / bare);
    }
    double dev = ReadUs(sync, OPC_DS_DEVICE, hr1, 100, 100);
    printf("device read of %-9d %12.0f %14.0f %16.2f\n", 100, dev, 100 * 1e6 / dev, dev / bare);

    sync->Release();
    read->Release();
    state->Release();
    params->Release();
    server->Release();
    CoUninitialize();
    return 0;
}
