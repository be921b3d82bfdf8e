// The item value cache and its device update thread.
#include "core/Cache.h"
#include "sim/SimIO.h"
#include "sim/SimItems.h"
#include "TraceCapture.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace {
struct DeviceItem {
    DWORD h = 0;
    explicit DeviceItem(const wchar_t* id) { EXPECT_EQ(S_OK, pGlobalDeviceItems->AddItem(id, &h)); }
    ~DeviceItem() { pGlobalDeviceItems->RemoveItem(h); }
};

// The items of the sets first ... first + n - 1, each with an active cache entry.
std::vector<std::unique_ptr<DeviceItem>> ActiveSetItems(CCache& cache, int first, int n)
{
    std::vector<std::unique_ptr<DeviceItem>> items;
    for (int i = 0; i < n; ++i) {
        items.push_back(std::make_unique<DeviceItem>((L"set" + std::to_wstring(first + i) + L".item").c_str()));
        CDeviceLockHold lock(cache.m_hMutex);
        cache.AddRefEntry(items.back()->h);
        cache.ActivateEntry(items.back()->h);
    }
    return items;
}
}  // namespace

TEST(Cache, EntriesCountReferencesAndActivations)
{
    CCache cache;
    CDeviceLockHold lock(cache.m_hMutex);
    cache.AddRefEntry(7);
    cache.AddRefEntry(7);
    CCacheEntry* e = cache.FindEntry(7);
    ASSERT_NE(nullptr, e);
    EXPECT_EQ(VT_EMPTY, e->vValue.vt);
    EXPECT_EQ(0, e->wQuality);
    EXPECT_NE(0u, e->ftTimeStamp.dwHighDateTime);  // creation time
    EXPECT_EQ(2u, e->dwRefCount);

    EXPECT_EQ(S_OK, cache.DeactivateEntry(7));  // stays at 0
    EXPECT_EQ(0u, e->dwActiveCount);
    EXPECT_EQ(S_OK, cache.ActivateEntry(7));
    EXPECT_EQ(1u, e->dwActiveCount);

    EXPECT_EQ(S_OK, cache.ReleaseEntry(7));
    ASSERT_NE(nullptr, cache.FindEntry(7));
    EXPECT_EQ(S_OK, cache.ReleaseEntry(7));
    EXPECT_EQ(nullptr, cache.FindEntry(7));
    EXPECT_EQ(E_FAIL, cache.ReleaseEntry(7));
    EXPECT_EQ(E_FAIL, cache.ActivateEntry(7));
    EXPECT_EQ(E_FAIL, cache.DeactivateEntry(7));

    VARIANT v;
    v.vt = VT_I4;
    v.lVal = 1;
    FILETIME ft = {};
    EXPECT_THROW(cache.SetEntryValue(7, v, ft, 192), CCache::CCacheException);
}

TEST(Cache, ReleaseOfAnEntryWithZeroReferencesRemovesIt)
{
    CCache cache;
    CDeviceLockHold lock(cache.m_hMutex);
    cache.AddRefEntry(9);
    cache.FindEntry(9)->dwRefCount = 0;
    EXPECT_EQ(S_OK, cache.ReleaseEntry(9));
    EXPECT_EQ(nullptr, cache.FindEntry(9));
}

TEST(Cache, UpdateFromDeviceSamplesAndLeavesCountsAsTheyWere)
{
    DeviceItem cached(L"set21.period"), fresh(L"set21.on");
    CCache cache;
    CDeviceLockHold lock(cache.m_hMutex);
    cache.AddRefEntry(cached.h);
    cache.ActivateEntry(cached.h);
    TraceCapture trace;
    EXPECT_EQ(S_OK, cache.UpdateFromDevice(DeviceHandleSet{cached.h, fresh.h}));
    EXPECT_TRUE(trace.contains(L"hParams.size(): 2\n"));
    CCacheEntry* e = cache.FindEntry(cached.h);
    ASSERT_NE(nullptr, e);
    EXPECT_EQ(OPC_QUALITY_GOOD, e->wQuality);
    EXPECT_DOUBLE_EQ(1000.0, e->vValue.dblVal);
    EXPECT_EQ(1u, e->dwRefCount);
    EXPECT_EQ(1u, e->dwActiveCount);
    EXPECT_EQ(nullptr, cache.FindEntry(fresh.h));  // made for the read, gone again
    cache.ReleaseEntry(cached.h);
}

TEST(Cache, UpdatePassSamplesOnlyActiveEntries)
{
    DeviceItem active(L"set22.period"), idle(L"set22.fct");
    CCache cache;
    {
        CDeviceLockHold lock(cache.m_hMutex);
        cache.AddRefEntry(active.h);
        cache.AddRefEntry(idle.h);
    }
    TraceCapture trace;
    cache.UpdateActiveEntries();
    EXPECT_EQ(L"", trace.text());  // no active entry: no device call, no trace line
    {
        CDeviceLockHold lock(cache.m_hMutex);
        cache.ActivateEntry(active.h);
    }
    cache.UpdateActiveEntries();
    EXPECT_EQ(L"hParams.size(): 1\n", trace.text());
    CDeviceLockHold lock(cache.m_hMutex);
    EXPECT_EQ(OPC_QUALITY_GOOD, cache.FindEntry(active.h)->wQuality);
    EXPECT_EQ(0, cache.FindEntry(idle.h)->wQuality);
    cache.ReleaseEntry(active.h);
    cache.ReleaseEntry(idle.h);
}

TEST(Cache, DeviceThreadRunsEvery10Milliseconds)
{
    DeviceItem item(L"set23.item");
    CUpdateCache cache;
    {
        CDeviceLockHold lock(cache.m_hMutex);
        cache.AddRefEntry(item.h);
        cache.ActivateEntry(item.h);
    }
    ASSERT_NE(nullptr, cache.StartUpdateThread());
    Sleep(1000);
    cache.StopUpdateThread();
    unsigned long passes = cache.m_nPasses.load();
    // 100 passes in a second; wide bounds for a loaded machine under Wine.
    EXPECT_GE(passes, 40u);
    EXPECT_LE(passes, 110u);
    CDeviceLockHold lock(cache.m_hMutex);
    EXPECT_EQ(OPC_QUALITY_GOOD, cache.FindEntry(item.h)->wQuality);
    cache.ReleaseEntry(item.h);
}

TEST(Cache, StopRightAfterStartEndsTheThread)
{
    CUpdateCache cache;
    ASSERT_NE(nullptr, cache.StartUpdateThread());
    cache.StopUpdateThread();  // returns: the flag was set before the thread ran
    EXPECT_FALSE(bCacheUpdateRunning.load());
    DWORD code = STILL_ACTIVE;
    GetExitCodeThread(cache.m_hThread, &code);
    EXPECT_EQ(0u, code);
}

TEST(Cache, RemovalDuringAPassDropsTheSample)
{
    // A pass and item churn on the same handles at once: no sample is
    // written to a removed entry, nothing crashes.
    DeviceItem item(L"set24.item");
    CUpdateCache cache;
    ASSERT_NE(nullptr, cache.StartUpdateThread());
    for (int i = 0; i < 2000; ++i) {
        CDeviceLockHold lock(cache.m_hMutex);
        cache.AddRefEntry(item.h);
        cache.ActivateEntry(item.h);
        cache.DeactivateEntry(item.h);
        cache.ReleaseEntry(item.h);
        if (i % 2)
            cache.AddRefEntry(item.h), cache.ActivateEntry(item.h);
    }
    cache.StopUpdateThread();
    EXPECT_LE(cache.EntryCount(), 1u);
}

TEST(Cache, ThePassFollowsActivationsFunctionChangesAndSetsThatGo)
{
    DeviceItem value(L"set25.item"), fct(L"set26.fct"), period(L"set27.period");
    auto sample = [](CCache& cache, DWORD h) {
        CDeviceLockHold lock(cache.m_hMutex);
        return *cache.FindEntry(h);
    };
    auto stamp = [](const CCacheEntry& e) {
        return (static_cast<ULONGLONG>(e.ftTimeStamp.dwHighDateTime) << 32) | e.ftTimeStamp.dwLowDateTime;
    };
    CCache cache;
    {
        CDeviceLockHold lock(cache.m_hMutex);
        for (DWORD h : {value.h, fct.h, period.h})
            cache.AddRefEntry(h);
        cache.ActivateEntry(value.h);
        cache.ActivateEntry(fct.h);
    }
    cache.UpdateActiveEntries();
    EXPECT_EQ(OPC_QUALITY_GOOD, sample(cache, value.h).wQuality);
    EXPECT_EQ(0, sample(cache, fct.h).vValue.bVal);  // Sine
    EXPECT_EQ(stamp(sample(cache, value.h)), stamp(sample(cache, fct.h)));  // one instant per pass
    EXPECT_EQ(0, sample(cache, period.h).wQuality);  // not active: not sampled

    // A new generator for a set the pass knows: the pass samples it.
    VARIANT ramp;
    ramp.vt = VT_UI1;
    ramp.bVal = 1;
    HRESULT error = E_FAIL;
    pGlobalDeviceIO->WriteItems(1, &fct.h, &ramp, &error);
    ASSERT_EQ(S_OK, error);
    cache.UpdateActiveEntries();
    EXPECT_EQ(1, sample(cache, fct.h).vValue.bVal);

    // A set the pass does not sample goes (its place in the bank with it),
    // another entry becomes active, one stops being active.
    { DeviceItem passing(L"set28.item"); }
    const ULONGLONG before = stamp(sample(cache, value.h));
    Sleep(20);
    {
        CDeviceLockHold lock(cache.m_hMutex);
        cache.ActivateEntry(period.h);
        cache.DeactivateEntry(value.h);
    }
    cache.UpdateActiveEntries();
    EXPECT_EQ(1000.0, sample(cache, period.h).vValue.dblVal);
    EXPECT_EQ(1, sample(cache, fct.h).vValue.bVal);
    EXPECT_EQ(before, stamp(sample(cache, value.h)));  // no longer sampled

    // An active entry whose last reference goes leaves the pass.
    {
        CDeviceLockHold lock(cache.m_hMutex);
        cache.ReleaseEntry(fct.h);
    }
    TraceCapture trace;
    cache.UpdateActiveEntries();
    EXPECT_EQ(L"hParams.size(): 1\n", trace.text());
    CDeviceLockHold lock(cache.m_hMutex);
    cache.ReleaseEntry(value.h);
    cache.ReleaseEntry(period.h);
}

TEST(Cache, EntriesAndSetsGoingWhileManyAreSampled)
{
    // Passes of several chunks while entries and sets come and go on
    // another thread: what goes mid-pass is looked up and dropped, what
    // stays is sampled.
    CUpdateCache cache;
    auto items = ActiveSetItems(cache, 3000, 1500);
    ASSERT_NE(nullptr, cache.StartUpdateThread());
    for (DWORD start = GetTickCount(); GetTickCount() - start < 1000;) {
        for (int i = 0; i < 1500; i += 7) {
            const DWORD h = items[i]->h;
            {
                CDeviceLockHold lock(cache.m_hMutex);
                cache.ReleaseEntry(h);  // an active entry goes
                cache.AddRefEntry(h);
                cache.ActivateEntry(h);
            }
            DeviceItem passing((L"set" + std::to_wstring(9000 + i) + L".on").c_str());  // a set comes and goes
        }
    }
    cache.StopUpdateThread();
    EXPECT_GT(cache.m_nPasses.load(), 10u);
    cache.UpdateActiveEntries();
    CDeviceLockHold lock(cache.m_hMutex);
    for (auto& item : items) {
        EXPECT_EQ(OPC_QUALITY_GOOD, cache.FindEntry(item->h)->wQuality);
        cache.ReleaseEntry(item->h);
    }
}

TEST(Cache, ASampleTakenEarlierNeverReplacesALaterOne)
{
    CCache cache;
    CDeviceLockHold lock(cache.m_hMutex);
    cache.AddRefEntry(5);
    VARIANT v;
    v.vt = VT_R8;
    FILETIME later = {200, 1}, earlier = {100, 1};
    v.dblVal = 2.0;
    EXPECT_TRUE(cache.StoreSample(5, v, later, OPC_QUALITY_GOOD, 8));
    v.dblVal = 1.0;
    EXPECT_TRUE(cache.StoreSample(5, v, earlier, OPC_QUALITY_GOOD, 7));  // taken before: dropped
    CCacheEntry* e = cache.FindEntry(5);
    EXPECT_DOUBLE_EQ(2.0, e->vValue.dblVal);
    EXPECT_EQ(200u, e->ftTimeStamp.dwLowDateTime);

    // A pass's chunk: the same rule, entry by entry.
    CSamplePass pass;
    pass.handles = {5};
    pass.entries = {e};
    bool skip = false;
    cache.StorePassSamples(pass, 0, 1, &v, &skip, earlier, OPC_QUALITY_GOOD, 6);
    EXPECT_DOUBLE_EQ(2.0, e->vValue.dblVal);
    cache.StorePassSamples(pass, 0, 1, &v, &skip, earlier, OPC_QUALITY_GOOD, 9);
    EXPECT_DOUBLE_EQ(1.0, e->vValue.dblVal);

    cache.ReleaseEntry(5);
    EXPECT_FALSE(cache.StoreSample(5, v, later, OPC_QUALITY_GOOD, 10));  // gone

    // The numbers wrap: the one after 0xFFFFFFFF is later.
    cache.AddRefEntry(6);
    v.dblVal = 3.0;
    EXPECT_TRUE(cache.StoreSample(6, v, later, OPC_QUALITY_GOOD, 0xFFFFFFFFu));
    v.dblVal = 4.0;
    EXPECT_TRUE(cache.StoreSample(6, v, later, OPC_QUALITY_GOOD, 1));
    EXPECT_DOUBLE_EQ(4.0, cache.FindEntry(6)->vValue.dblVal);
    cache.ReleaseEntry(6);

    FILETIME a, b;
    unsigned long first = TakeSampleInstant(&a), second = TakeSampleInstant(&b);
    EXPECT_NE(0u, first);
    EXPECT_GT(static_cast<long>(second - first), 0);
    EXPECT_GE(CompareFileTime(&b, &a), 0);
}

TEST(Cache, DeviceReadsDuringPassesNeverTurnATimeStampBack)
{
    // The device thread's passes over several chunks while another thread
    // reads the last entries from the device: a pass that began before a
    // read stores its chunk after it, and must not put back its earlier
    // sample.
    CUpdateCache cache;
    auto items = ActiveSetItems(cache, 5000, 1200);
    const DeviceHandleSet watched = {items[1100]->h, items[1199]->h};
    ULONGLONG last[2] = {};
    int backwards = 0, reads = 0;
    ASSERT_NE(nullptr, cache.StartUpdateThread());
    auto look = [&] {
        for (int k = 0; k < 2; ++k) {
            const FILETIME& ts = cache.FindEntry(watched[k])->ftTimeStamp;
            const ULONGLONG t = (static_cast<ULONGLONG>(ts.dwHighDateTime) << 32) | ts.dwLowDateTime;
            if (t < last[k])
                ++backwards;
            last[k] = t;
        }
    };
    for (DWORD start = GetTickCount(); GetTickCount() - start < 1500; ++reads) {
        CDeviceLockHold lock(cache.m_hMutex);
        look();  // what the passes stored since the last read
        cache.UpdateFromDevice(watched);
        look();
    }
    cache.StopUpdateThread();
    EXPECT_GT(cache.m_nPasses.load(), 10u);
    EXPECT_GT(reads, 100);
    EXPECT_EQ(0, backwards);
    CDeviceLockHold lock(cache.m_hMutex);
    for (auto& item : items)
        cache.ReleaseEntry(item->h);
}
