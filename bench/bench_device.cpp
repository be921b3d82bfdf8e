// The device update pass: cost per active item, beside sampling the same
// items bare (no locks, no cache) and computing their signals alone; the
// largest count a pass takes within the 10 ms period; the lock primitives.
#include "BenchUtil.h"
#include "common/OPCGlob.h"
#include "core/Cache.h"
#include "core/DeviceLock.h"
#include "sim/Generator.h"
#include "sim/SimItems.h"

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {
template <class F>
double BestOf(int reps, F&& f)
{
    double best = 1e300;
    for (int r = 0; r < reps; ++r) {
        double t0 = NowUs();
        f();
        best = std::min(best, NowUs() - t0);
    }
    return best;
}

template <class L>
double LockPairNs(int n)
{
    L lock;
    double us = BestOf(5, [&] {
        for (int i = 0; i < n; ++i) {
            lock.Lock();
            lock.Unlock();
        }
    });
    return us * 1000.0 / n;
}
}  // namespace

int main()
{
    SetTraceSink(nullptr);
    printf("Device update pass (one pass over every active entry; best and median of 20)\n");
    printf("  bare: the same samples without locks or cache (one time read per pass, the set's lookup in the bank,\n"
           "        the signal); signal: the generators' values alone, the generators at hand\n");
    printf("%8s %10s %10s %10s %10s %10s %10s %12s\n", "active", "pass ns", "median ns", "bare ns", "signal ns",
           "pass/bare", "pass/sig", "median ms");
    int largestFitting = 0;
    double perItemAtLargest = 0;
    for (int n : {1000, 10000, 100000, 150000, 200000}) {
        std::vector<DWORD> handles;
        handles.reserve(n);
        CUpdateCache cache;
        for (int i = 0; i < n; ++i) {
            DWORD h = 0;
            wchar_t id[32];
            swprintf(id, 32, L"set%d.item", 100000 + i);
            pGlobalDeviceItems->AddItem(id, &h);
            {
                CDeviceLockHold lock(g_generatorBank.m_hMutex);
                g_generatorBank.SetOn(DeviceSetNumber(h), 1);
            }
            CDeviceLockHold lock(cache.m_hMutex);
            cache.AddRefEntry(h);
            cache.ActivateEntry(h);
            handles.push_back(h);
        }
        std::vector<double> passes;
        for (int r = 0; r < 20; ++r) {
            double t0 = NowUs();
            cache.UpdateActiveEntries();
            passes.push_back(NowUs() - t0);
        }
        std::sort(passes.begin(), passes.end());
        const double passUs = passes.front(), medianUs = passes[passes.size() / 2];

        volatile double sink = 0;
        double bareUs = BestOf(20, [&] {
            const double t = GeneratorTimeNow();
            for (DWORD h : handles)
                sink = sink + g_generatorBank.m_generators.find(DeviceSetNumber(h))->second->GetValue(t);
        });
        std::vector<CSignalGenerator*> generators;
        for (DWORD h : handles)
            generators.push_back(g_generatorBank.m_generators.find(DeviceSetNumber(h))->second);
        double signalUs = BestOf(20, [&] {
            const double t = GeneratorTimeNow();
            for (CSignalGenerator* g : generators)
                sink = sink + g->GetValue(t);
        });
        const double passNs = passUs * 1000.0 / n, bareNs = bareUs * 1000.0 / n, signalNs = signalUs * 1000.0 / n;
        printf("%8d %10.1f %10.1f %10.1f %10.1f %10.2f %10.2f %12.3f\n", n, passNs, medianUs * 1000.0 / n, bareNs,
               signalNs, passNs / bareNs, passNs / signalNs, medianUs / 1000.0);
        if (medianUs < 10000.0)
            largestFitting = n;
        perItemAtLargest = medianUs * 1000.0 / n;

        CDeviceLockHold lock(cache.m_hMutex);
        for (DWORD h : handles) {
            cache.ReleaseEntry(h);
            pGlobalDeviceItems->RemoveItem(h);
        }
    }
    printf("Largest measured count whose median pass fits the 10 ms period: %d\n", largestFitting);
    printf("Largest count that fits at the median cost per item of the largest run: about %.0f\n",
           10e6 / perItemAtLargest);

    // The pass writes one specified trace line ("hParams.size(): N"): a
    // fixed cost per pass that weighs on small passes.
    double traceUs = BestOf(5, [] {
        for (int i = 0; i < 100; ++i)
            OutputDebugStringW(L"hParams.size(): 1000\n");
    }) / 100.0;
    printf("One trace line (OutputDebugStringW), written once per pass: %.1f us\n", traceUs);

    printf("\nLock primitives (one lock + unlock, uncontended)\n");
    printf("  critical section: %8.1f ns\n", LockPairNs<CDeviceLock>(200000));
    printf("  Win32 mutex:      %8.1f ns\n", LockPairNs<CMutexDeviceLock>(20000));
    printf("  The device pass takes each of the two locks once per 256 active items.\n");
    return 0;
}
