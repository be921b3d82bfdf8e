// The device update pass: cost per active item, beside sampling the same
// generators directly (no locks, no cache), and the lock primitives.
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
    printf("Device update pass (one pass over every active entry; best of 20)\n");
    printf("%10s %14s %14s %10s %16s\n", "active", "pass ns/item", "direct ns/item", "ratio", "pass ms total");
    double worstPerItem = 0;
    for (int n : {1000, 10000, 100000}) {
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
        double passUs = BestOf(20, [&] { cache.UpdateActiveEntries(); });

        // The same sampling without locks or cache: time, lookup, value.
        volatile double sink = 0;
        double directUs = BestOf(20, [&] {
            for (DWORD h : handles) {
                double t = GeneratorTimeNow();
                sink = sink + g_generatorBank.m_generators.find(DeviceSetNumber(h))->second->GetValue(t);
            }
        });
        double passNs = passUs * 1000.0 / n;
        double directNs = directUs * 1000.0 / n;
        worstPerItem = std::max(worstPerItem, passNs);
        printf("%10d %14.1f %14.1f %10.2f %16.3f\n", n, passNs, directNs, passNs / directNs, passUs / 1000.0);

        CDeviceLockHold lock(cache.m_hMutex);
        for (DWORD h : handles) {
            cache.ReleaseEntry(h);
            pGlobalDeviceItems->RemoveItem(h);
        }
    }
    printf("Largest number of active items whose pass fits the 10 ms period: about %.0f\n",
           10e6 / worstPerItem);

    printf("\nLock primitives (one lock + unlock, uncontended)\n");
    printf("  critical section: %8.1f ns\n", LockPairNs<CDeviceLock>(200000));
    printf("  Win32 mutex:      %8.1f ns\n", LockPairNs<CMutexDeviceLock>(20000));
    printf("  The device pass takes two such pairs per active item.\n");
    return 0;
}
