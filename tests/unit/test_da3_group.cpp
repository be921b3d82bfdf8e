// The group's DA 3.0 interfaces: MaxAge reads and VQT writes (sync and
// async), keep-alive callbacks, item deadbands and sampling rates.
#include "DataCallbackSpy.h"
#include "OpcTestUtil.h"
#include "opc/ItemFacts.h"

#include <ocidl.h>
#include <cmath>

namespace {
class Da3GroupTest : public ServerFixture {
protected:
    static DWORD Connect(IOPCGroupStateMgt* g, DataCallbackSpy* spy)
    {
        ComPtr<IConnectionPointContainer> cpc;
        g->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(cpc.GetAddressOf()));
        ComPtr<IConnectionPoint> cp;
        cpc->FindConnectionPoint(IID_IOPCDataCallback, cp.GetAddressOf());
        DWORD cookie = 0;
        EXPECT_EQ(S_OK, cp->Advise(spy, &cookie));
        return cookie;
    }
    template <class I>
    static ComPtr<I> As(IOPCGroupStateMgt* g)
    {
        ComPtr<I> i;
        EXPECT_EQ(S_OK, g->QueryInterface(__uuidof(I), reinterpret_cast<void**>(i.GetAddressOf())));
        return i;
    }
    static size_t EmptyChanges(DataCallbackSpy& spy)
    {
        std::lock_guard<std::mutex> lock(spy.mutex);
        size_t n = 0;
        for (const auto& c : spy.changes)
            n += c.transid == 0 && c.clients.empty();
        return n;
    }
};
}  // namespace

TEST_F(Da3GroupTest, ReadMaxAgeTakesTheCacheOrTheDeviceAndWriteVQTRefusesQualities)
{
    OPCHANDLE hGroup = 0;
    auto g = AddGroup(L"maxage", FALSE, 1000000, 9, &hGroup);
    auto h = AddItems(g.Get(), {L"set720.item", L"set720.period"}, TRUE, VT_I4);
    auto sync = As<IOPCSyncIO2>(g.Get());
    SetCache(Impl(g.Get()), h[0], 42.0);
    OPCHANDLE three[] = {h[0], h[0], 0xBAD};
    DWORD ages[] = {kMaxAgeCache, 60000, 0};  // the cache, and young enough
    VARIANT* values = nullptr;
    WORD* qualities = nullptr;
    FILETIME* times = nullptr;
    HRESULT* errors = nullptr;
    auto readOnce = [&](DWORD n, DWORD* maxAges, std::vector<LONG>* out) {
        HRESULT hr = sync->ReadMaxAge(n, three, maxAges, &values, &qualities, &times, &errors);
        for (DWORD i = 0; i < n; ++i) {
            out->push_back(values[i].vt == VT_I4 ? values[i].lVal : -999);  // the requested type
            VariantClear(&values[i]);
        }
        if (n == 3) {
            EXPECT_EQ(OPC_E_INVALIDHANDLE, errors[2]);
        }
        CoTaskMemFree(values);
        CoTaskMemFree(qualities);
        CoTaskMemFree(times);
        CoTaskMemFree(errors);
        return hr;
    };
    std::vector<LONG> got;
    ASSERT_EQ(S_FALSE, readOnce(3, ages, &got));
    EXPECT_EQ(42, got[0]);  // from the cache
    EXPECT_EQ(42, got[1]);
    DWORD device[] = {kMaxAgeDevice};
    got.clear();
    ASSERT_EQ(S_OK, readOnce(1, device, &got));
    EXPECT_NE(42, got[0]);  // sampled: the signal is off
    SetCache(Impl(g.Get()), h[0], 42.0);
    EXPECT_EQ(E_INVALIDARG, sync->ReadMaxAge(1, three, nullptr, &values, &qualities, &times, &errors));
    EXPECT_EQ(E_INVALIDARG, sync->ReadMaxAge(0, three, ages, &values, &qualities, &times, &errors));
    EXPECT_EQ(E_OUTOFMEMORY, sync->ReadMaxAge(0x7FFFFFFF, three, ages, &values, &qualities, &times, &errors));

    OPCITEMVQT vqt[2] = {};
    vqt[0].vDataValue.vt = VT_R8;
    vqt[0].vDataValue.dblVal = 321;
    vqt[1] = vqt[0];
    vqt[1].bTimeStampSpecified = TRUE;
    OPCHANDLE periods[] = {h[1], h[1]};
    ASSERT_EQ(S_FALSE, sync->WriteVQT(2, periods, vqt, &errors));
    EXPECT_EQ(S_OK, errors[0]);
    EXPECT_EQ(OPC_E_NOTSUPPORTED, errors[1]);
    CoTaskMemFree(errors);
    EXPECT_EQ(E_INVALIDARG, sync->WriteVQT(1, periods, nullptr, &errors));

    // The async forms: completions through the callback.
    DataCallbackSpy spy;
    Connect(g.Get(), &spy);
    auto async = As<IOPCAsyncIO3>(g.Get());
    DWORD cancel = 0;
    ASSERT_EQ(S_FALSE, async->ReadMaxAge(3, three, ages, 51, &cancel, &errors));
    CoTaskMemFree(errors);
    ASSERT_EQ(S_FALSE, async->WriteVQT(2, periods, vqt, 52, &cancel, &errors));
    EXPECT_EQ(OPC_E_NOTSUPPORTED, errors[1]);
    CoTaskMemFree(errors);
    ASSERT_TRUE(spy.WaitForCompletions(2));
    {
        std::lock_guard<std::mutex> lock(spy.mutex);
        EXPECT_EQ(51u, spy.completions[0].transid);
        ASSERT_EQ(2u, spy.completions[0].values.size());
        EXPECT_EQ(42, spy.completions[0].values[0].lVal);
        EXPECT_EQ(52u, spy.completions[1].transid);
        EXPECT_EQ(1u, spy.completions[1].clients.size());  // the refused record is not part of it
    }
    EXPECT_EQ(E_FAIL, async->RefreshMaxAge(kMaxAgeCache, 53, &cancel));  // inactive
    DWORD revised;
    BOOL active = TRUE;
    g->SetState(nullptr, &revised, &active, nullptr, nullptr, nullptr, nullptr);
    ASSERT_EQ(S_OK, async->RefreshMaxAge(kMaxAgeCache, 53, &cancel));
    size_t refreshed = 0;  // items of the refresh, among the subscription's changes
    for (int i = 0; i < 500 && !refreshed; ++i) {
        {
            std::lock_guard<std::mutex> lock(spy.mutex);
            for (const auto& c : spy.changes)
                if (c.transid == 53)
                    refreshed = c.clients.size();
        }
        Sleep(10);
    }
    EXPECT_EQ(2u, refreshed);
    active = FALSE;
    g->SetState(nullptr, &revised, &active, nullptr, nullptr, nullptr, nullptr);
    async.Reset();
    sync.Reset();
    g.Reset();
    server.Reset();  // before the spy goes
}

TEST_F(Da3GroupTest, KeepAliveSendsEmptyCallbacksWhenNothingChanged)
{
    OPCHANDLE hGroup = 0;
    auto g = AddGroup(L"alive", FALSE, 50, 4, &hGroup);
    auto h = AddItems(g.Get(), {L"set721.period"});
    auto state = As<IOPCGroupStateMgt2>(g.Get());
    DWORD revised = 0, now = 0;
    EXPECT_EQ(OPC_S_UNSUPPORTEDRATE, state->SetKeepAlive(20, &revised));
    EXPECT_EQ(50u, revised);  // not faster than the updates
    EXPECT_EQ(OPC_S_UNSUPPORTEDRATE, state->SetKeepAlive(120, &revised));
    EXPECT_EQ(150u, revised);  // a whole number of update periods
    EXPECT_EQ(OPC_S_UNSUPPORTEDRATE, state->SetKeepAlive(0xFFFFFFFF, &revised));
    EXPECT_EQ(0xFFFFFFFFu / 50 * 50, revised);
    ASSERT_EQ(S_OK, state->SetKeepAlive(200, &revised));
    EXPECT_EQ(200u, revised);
    EXPECT_EQ(S_OK, state->GetKeepAlive(&now));
    EXPECT_EQ(200u, now);
    EXPECT_EQ(E_INVALIDARG, state->SetKeepAlive(100, nullptr));
    DataCallbackSpy spy;
    Connect(g.Get(), &spy);
    BOOL active = TRUE;
    g->SetState(nullptr, &revised, &active, nullptr, nullptr, nullptr, nullptr);
    Sleep(1100);  // the first update carries the value, then nothing changes
    const size_t empty = EmptyChanges(spy);
    EXPECT_GE(empty, 3u);
    EXPECT_LE(empty, 7u);
    {
        std::lock_guard<std::mutex> lock(spy.mutex);
        EXPECT_EQ(4u, spy.changes.back().hGroup);
    }
    ASSERT_EQ(S_OK, As<IOPCAsyncIO2>(g.Get())->SetEnable(FALSE));
    Sleep(100);
    const size_t quiet = EmptyChanges(spy);
    Sleep(500);
    EXPECT_EQ(quiet, EmptyChanges(spy));  // no subscription callbacks at all
    ASSERT_EQ(S_OK, state->SetKeepAlive(0, &revised));
    EXPECT_EQ(0u, revised);
    active = FALSE;
    g->SetState(nullptr, &revised, &active, nullptr, nullptr, nullptr, nullptr);
    state.Reset();
    g.Reset();
    server.Reset();
}

TEST_F(Da3GroupTest, ItemDeadbandsAndSamplingRates)
{
    OPCHANDLE hGroup = 0;
    auto g = AddGroup(L"items3", FALSE, 10, 1, &hGroup);
    auto h = AddItems(g.Get(), {L"set722.item", L"set722.on"});  // analog, enumerated
    auto db = As<IOPCItemDeadbandMgt>(g.Get());
    FLOAT set[] = {25.0f, 10.0f, NAN};
    OPCHANDLE three[] = {h[0], h[1], h[0]};
    HRESULT* errors = nullptr;
    ASSERT_EQ(S_FALSE, db->SetItemDeadband(3, three, set, &errors));
    EXPECT_EQ(S_OK, errors[0]);
    EXPECT_EQ(OPC_E_DEADBANDNOTSUPPORTED, errors[1]);
    EXPECT_EQ(E_INVALIDARG, errors[2]);
    CoTaskMemFree(errors);
    FLOAT* got = nullptr;
    ASSERT_EQ(S_FALSE, db->GetItemDeadband(2, three, &got, &errors));
    EXPECT_EQ(25.0f, got[0]);
    EXPECT_EQ(OPC_E_DEADBANDNOTSUPPORTED, errors[1]);
    CoTaskMemFree(got);
    CoTaskMemFree(errors);

    // The item's own deadband decides: the range is -1 to 1, a quarter of it 0.5.
    DataCallbackSpy spy;
    Connect(g.Get(), &spy);
    DWORD revised;
    BOOL active = TRUE;
    g->SetState(nullptr, &revised, &active, nullptr, nullptr, nullptr, nullptr);
    SetCache(Impl(g.Get()), h[0], 0.0);
    ASSERT_TRUE(spy.WaitFor(1));
    Sleep(50);
    const size_t first = spy.count();
    SetCache(Impl(g.Get()), h[0], 0.3);  // within the deadband
    Sleep(100);
    EXPECT_EQ(first, spy.count());
    SetCache(Impl(g.Get()), h[0], -0.9);  // beyond it
    EXPECT_TRUE(spy.WaitFor(first + 1));

    ASSERT_EQ(S_OK, db->ClearItemDeadband(1, three, &errors));
    CoTaskMemFree(errors);
    ASSERT_EQ(S_FALSE, db->GetItemDeadband(1, three, &got, &errors));
    EXPECT_EQ(OPC_E_DEADBANDNOTSET, errors[0]);
    CoTaskMemFree(got);
    CoTaskMemFree(errors);
    EXPECT_EQ(S_FALSE, db->ClearItemDeadband(1, three, &errors));
    CoTaskMemFree(errors);
    EXPECT_EQ(E_INVALIDARG, db->SetItemDeadband(0, three, set, &errors));

    auto sampling = As<IOPCItemSamplingMgt>(g.Get());
    DWORD rates[] = {5, 500};
    DWORD* revisedRates = nullptr;
    ASSERT_EQ(S_FALSE, sampling->SetItemSamplingRate(2, three, rates, &revisedRates, &errors));
    EXPECT_EQ(OPC_S_UNSUPPORTEDRATE, errors[0]);
    EXPECT_EQ(10u, revisedRates[0]);  // the device's period
    EXPECT_EQ(S_OK, errors[1]);
    EXPECT_EQ(500u, revisedRates[1]);
    CoTaskMemFree(revisedRates);
    CoTaskMemFree(errors);
    ASSERT_EQ(S_OK, sampling->ClearItemSamplingRate(1, three, &errors));
    CoTaskMemFree(errors);
    DWORD* now = nullptr;
    ASSERT_EQ(S_FALSE, sampling->GetItemSamplingRate(2, three, &now, &errors));
    EXPECT_EQ(OPC_E_RATENOTSET, errors[0]);
    EXPECT_EQ(500u, now[1]);
    CoTaskMemFree(now);
    CoTaskMemFree(errors);
    BOOL enable[] = {TRUE, FALSE};
    ASSERT_EQ(S_FALSE, sampling->SetItemBufferEnable(2, three, enable, &errors));
    EXPECT_EQ(OPC_E_NOBUFFERING, errors[0]);
    EXPECT_EQ(S_OK, errors[1]);
    CoTaskMemFree(errors);
    BOOL* buffered = nullptr;
    OPCHANDLE stale[] = {0xBAD};
    ASSERT_EQ(S_FALSE, sampling->GetItemBufferEnable(1, stale, &buffered, &errors));
    EXPECT_EQ(OPC_E_INVALIDHANDLE, errors[0]);
    CoTaskMemFree(buffered);
    CoTaskMemFree(errors);
    active = FALSE;
    g->SetState(nullptr, &revised, &active, nullptr, nullptr, nullptr, nullptr);
    db.Reset();
    sampling.Reset();
    g.Reset();
    server.Reset();
}
