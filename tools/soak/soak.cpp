// vantrel-soak: N client processes run a seeded random mix of every client
// operation against one server and check what they get back; the parent
// watches the server process from outside and prints one summary table.
//
//   vantrel-soak [--clients N] [--seconds S] [--seed X] [--sample-seconds P]
//
// Exit code 0 when no check failed.
#include "ServerProcess.h"
#include "common/OpcDefs.h"

#include <objbase.h>
#include <psapi.h>
#include <tlhelp32.h>
#include <wrl/client.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cwchar>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <vector>

using Microsoft::WRL::ComPtr;

namespace {

// ---------------------------------------------------------------- worker

struct Counters {
    long calls = 0, violations = 0, asyncIssued = 0, completed = 0, cancelled = 0, lost = 0, twice = 0,
         dataBlocks = 0, lateItems = 0, backwards = 0;
};

std::mutex g_log;
Counters g_counters;

void Violation(const char* what, HRESULT hr = S_OK)
{
    std::lock_guard<std::mutex> lock(g_log);
    ++g_counters.violations;
    fprintf(stderr, "violation: %s (hr 0x%08lX)\n", what, static_cast<unsigned long>(hr));
}

// Checks a result against the codes the call may return.
void Check(const char* call, HRESULT hr, std::initializer_list<HRESULT> allowed)
{
    ++g_counters.calls;
    for (HRESULT a : allowed)
        if (hr == a)
            return;
    Violation(call, hr);
}

struct GroupState;

// The sink of one group: records completions and data deliveries.
class Sink : public IAdviseSink {
public:
    explicit Sink(GroupState* g) : m_group(g) {}
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override
    {
        if (riid == IID_IUnknown || riid == IID_IAdviseSink) {
            *ppv = static_cast<IAdviseSink*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return InterlockedIncrement(&m_refs); }
    STDMETHODIMP_(ULONG) Release() override
    {
        LONG n = InterlockedDecrement(&m_refs);
        if (n == 0)
            delete this;
        return n;
    }
    STDMETHODIMP_(void) OnDataChange(FORMATETC* fe, STGMEDIUM* medium) override;
    STDMETHODIMP_(void) OnViewChange(DWORD, LONG) override {}
    STDMETHODIMP_(void) OnRename(IMoniker*) override {}
    STDMETHODIMP_(void) OnSave() override {}
    STDMETHODIMP_(void) OnClose() override {}

private:
    virtual ~Sink() = default;
    LONG m_refs = 1;
    GroupState* m_group;
};

struct ItemState {
    OPCHANDLE hServer, hClient;
    bool active;
};

struct GroupState {
    OPCHANDLE hServer = 0;
    ComPtr<IOPCGroupStateMgt> state;
    ComPtr<IOPCItemMgt> items;
    ComPtr<IOPCSyncIO> sync;
    ComPtr<IOPCAsyncIO> async;
    ComPtr<IDataObject> data;
    Sink* sink = nullptr;
    DWORD cData = 0, cTime = 0, cWrite = 0;
    bool active = false;
    DWORD rate = 100;
    std::vector<ItemState> list;

    std::mutex m;
    std::set<DWORD> pending;                   // transactions started and not yet accounted for
    std::map<DWORD, int> completions;          // transaction id -> completions seen (may come
                                               // before the call that started it returns)
    std::set<DWORD> cancelledIds;
    std::map<OPCHANDLE, ULONGLONG> lastTime;   // per client handle
    // Expected deliveries: client handle -> (tick from which a delivery
    // counts, tick by which it must have come). A delivery may arrive before
    // the call that caused it returns, so the sink only notes the time.
    std::map<OPCHANDLE, std::pair<DWORD, DWORD>> expectBy;
    std::map<OPCHANDLE, DWORD> deliveredAt;
};

UINT g_cfData, g_cfTime, g_cfWrite;

void Sink::OnDataChange(FORMATETC* fe, STGMEDIUM* medium)
{
    if (!fe || !medium || medium->tymed != TYMED_HGLOBAL)
        return;
    const BYTE* p = static_cast<const BYTE*>(GlobalLock(medium->hGlobal));
    if (!p)
        return;
    std::lock_guard<std::mutex> lock(m_group->m);
    if (fe->cfFormat == g_cfWrite) {
        DWORD tid;
        memcpy(&tid, p + 8, 4);
        ++m_group->completions[tid];
    } else {
        bool withTime = fe->cfFormat == g_cfTime;
        DWORD count, tid;
        memcpy(&count, p + 4, 4);
        memcpy(&tid, p + 12, 4);
        if (tid != 0) {
            ++m_group->completions[tid];
        } else {
            ++g_counters.dataBlocks;
        }
        for (DWORD i = 0; i < count; ++i) {
            OPCHANDLE h;
            memcpy(&h, p + 20 + (withTime ? 20 : 12) * i, 4);
            m_group->deliveredAt[h] = GetTickCount();
            if (withTime && tid == 0) {
                ULONGLONG t;
                memcpy(&t, p + 20 + 20 * i + 12, 8);
                ULONGLONG& last = m_group->lastTime[h];
                if (t < last)
                    ++g_counters.backwards;
                last = t;
            }
        }
    }
    GlobalUnlock(medium->hGlobal);
}

class Worker {
public:
    Worker(unsigned seed) : m_rng(seed) {}

    int Run(double seconds)
    {
        HRESULT hr = CoCreateInstance(CLSID_OPCServer, nullptr, CLSCTX_LOCAL_SERVER, IID_IOPCServer,
                                      reinterpret_cast<void**>(m_server.GetAddressOf()));
        if (FAILED(hr)) {
            Violation("CoCreateInstance", hr);
            return 1;
        }
        DWORD start = GetTickCount();
        while (GetTickCount() - start < seconds * 1000) {
            Step();
            CheckDeliveries();
        }
        for (auto& g : m_groups)
            Drain(*g);
        CheckDeliveries();
        for (auto& g : m_groups)
            Finish(*g, true);
        m_groups.clear();
        m_server.Reset();
        return 0;
    }

private:
    int Rand(int n) { return static_cast<int>(m_rng() % static_cast<unsigned>(n)); }

    GroupState* AnyGroup() { return m_groups.empty() ? nullptr : m_groups[Rand(static_cast<int>(m_groups.size()))].get(); }

    std::wstring RandomItemId()
    {
        static const wchar_t* names[] = {L"item", L"fct", L"on", L"period", L"t0", L"itemX", L"nope"};
        int set = Rand(50);
        int n = Rand(100) < 5 ? 6 : Rand(6);
        return L"set" + std::to_wstring(set) + L"." + names[n];
    }

    void Step()
    {
        int op = Rand(100);
        if (m_groups.size() < 2 || op < 5)
            AddGroup();
        else if (op < 8)
            RemoveGroup();
        else if (op < 20)
            AddItems();
        else if (op < 25)
            RemoveItems();
        else if (op < 32)
            SetActiveState();
        else if (op < 40)
            SetState();
        else if (op < 43)
            Rename();
        else if (op < 45)
            Clone();
        else if (op < 52)
            Advise();
        else if (op < 55)
            Unadvise();
        else if (op < 65)
            SyncRead();
        else if (op < 72)
            SyncWrite();
        else if (op < 90)
            AsyncOp();
        else if (op < 95)
            Browse();
        else
            Sleep(Rand(20));
    }

    void AddGroup()
    {
        auto g = std::make_unique<GroupState>();
        DWORD revised = 0;
        g->rate = Rand(4) == 0 ? 0 : 20 + Rand(300);
        FLOAT deadband = static_cast<FLOAT>(Rand(3) == 0 ? Rand(20) : 0);
        std::wstring name = Rand(2) ? L"" : L"g" + std::to_wstring(Rand(20));
        HRESULT hr = m_server->AddGroup(name.c_str(), FALSE, g->rate, 7, nullptr, &deadband, 0, &g->hServer, &revised,
                                        IID_IOPCGroupStateMgt, reinterpret_cast<IUnknown**>(g->state.GetAddressOf()));
        Check("AddGroup", hr, {S_OK, OPC_E_DUPLICATENAME});
        if (hr != S_OK)
            return;
        g->state.As(&g->items);
        g->state.As(&g->sync);
        g->state.As(&g->async);
        g->state.As(&g->data);
        g->sink = new Sink(g.get());
        m_groups.push_back(std::move(g));
    }

    // Waits for a group's outstanding transactions (completions come quickly).
    void Drain(GroupState& g)
    {
        DWORD start = GetTickCount();
        for (;;) {
            {
                std::lock_guard<std::mutex> lock(g.m);
                bool open = false;
                for (DWORD tid : g.pending)
                    if (!g.completions.count(tid))
                        open = true;
                if (!open || GetTickCount() - start > 15000)
                    break;
            }
            Sleep(5);
        }
        Sleep(20);  // a second completion of the same transaction would arrive now
        std::lock_guard<std::mutex> lock(g.m);
        for (DWORD tid : g.pending) {
            int seen = g.completions.count(tid) ? g.completions[tid] : 0;
            if (seen == 0) {
                ++g_counters.lost;
                fprintf(stderr, "lost: transaction %lu\n", static_cast<unsigned long>(tid));
            } else if (seen > 1) {
                ++g_counters.twice;
            } else {
                ++g_counters.completed;
            }
        }
        for (auto& c : g.completions)
            if (!g.pending.count(c.first) && !g.cancelledIds.count(c.first))
                ++g_counters.twice;  // a completion of no transaction we started
        g.pending.clear();
        g.completions.clear();
    }

    void Finish(GroupState& g, bool force)
    {
        {
            std::lock_guard<std::mutex> lock(g.m);
            g.expectBy.clear();
        }
        HRESULT hr = m_server->RemoveGroup(g.hServer, force);
        Check("RemoveGroup", hr, {S_OK});
        g.state.Reset();
        g.items.Reset();
        g.sync.Reset();
        g.async.Reset();
        g.data.Reset();
        g.sink->Release();
    }

    void RemoveGroup()
    {
        if (m_groups.empty())
            return;
        size_t i = Rand(static_cast<int>(m_groups.size()));
        Drain(*m_groups[i]);
        Finish(*m_groups[i], Rand(2) == 0);
        m_groups.erase(m_groups.begin() + i);
    }

    // since: the tick at which the call that activated the item began.
    void ExpectFirstDelivery(GroupState& g, const ItemState& item, DWORD since)
    {
        bool advised = g.cData || g.cTime;
        if (!g.active || !item.active || !advised)
            return;
        std::lock_guard<std::mutex> lock(g.m);
        // Three update periods, with room for a loaded 2-core machine.
        g.expectBy[item.hClient] = {since, GetTickCount() + 3 * std::max<DWORD>(g.rate, 100) + 2000};
    }

    void AddItems()
    {
        GroupState* g = AnyGroup();
        if (!g)
            return;
        int n = 1 + Rand(5);
        std::vector<std::wstring> ids;
        std::vector<OPCITEMDEF> defs(n);
        for (int i = 0; i < n; ++i)
            ids.push_back(RandomItemId());
        for (int i = 0; i < n; ++i) {
            defs[i] = OPCITEMDEF{};
            defs[i].szAccessPath = const_cast<wchar_t*>(L"");
            defs[i].szItemID = const_cast<wchar_t*>(ids[i].c_str());
            defs[i].bActive = Rand(4) != 0;
            defs[i].hClient = ++m_nextClient;
            defs[i].vtRequestedDataType = Rand(5) == 0 ? VT_R4 : VT_EMPTY;
        }
        OPCITEMRESULT* results = nullptr;
        HRESULT* errors = nullptr;
        DWORD since = GetTickCount();
        HRESULT hr = g->items->AddItems(n, defs.data(), &results, &errors);
        Check("AddItems", hr, {S_OK, S_FALSE});
        if (FAILED(hr))
            return;
        for (int i = 0; i < n; ++i) {
            Check("AddItems item", errors[i], {S_OK, OPC_E_UNKNOWNITEMID});
            if (SUCCEEDED(errors[i])) {
                ItemState item{results[i].hServer, defs[i].hClient, defs[i].bActive != FALSE};
                g->list.push_back(item);
                ExpectFirstDelivery(*g, item, since);
            }
        }
        CoTaskMemFree(results);
        CoTaskMemFree(errors);
    }

    void RemoveItems()
    {
        GroupState* g = AnyGroup();
        if (!g || g->list.empty())
            return;
        size_t i = Rand(static_cast<int>(g->list.size()));
        OPCHANDLE h[2] = {g->list[i].hServer, 0xFFFFFFF0u};  // one stale handle
        HRESULT* errors = nullptr;
        Drain(*g);
        HRESULT hr = g->items->RemoveItems(2, h, &errors);
        Check("RemoveItems", hr, {S_FALSE});
        if (errors) {
            Check("RemoveItems item", errors[0], {S_OK});
            Check("RemoveItems stale", errors[1], {OPC_E_INVALIDHANDLE});
        }
        CoTaskMemFree(errors);
        {
            std::lock_guard<std::mutex> lock(g->m);
            g->expectBy.erase(g->list[i].hClient);
        }
        g->list.erase(g->list.begin() + i);
    }

    void SetActiveState()
    {
        GroupState* g = AnyGroup();
        if (!g || g->list.empty())
            return;
        ItemState& item = g->list[Rand(static_cast<int>(g->list.size()))];
        BOOL active = Rand(2);
        HRESULT* errors = nullptr;
        DWORD since = GetTickCount();
        HRESULT hr = g->items->SetActiveState(1, &item.hServer, active, &errors);
        Check("SetActiveState", hr, {S_OK});
        CoTaskMemFree(errors);
        bool was = item.active;
        item.active = active != FALSE;
        if (!item.active) {
            std::lock_guard<std::mutex> lock(g->m);
            g->expectBy.erase(item.hClient);
        } else if (!was) {
            ExpectFirstDelivery(*g, item, since);
        }
    }

    void SetState()
    {
        GroupState* g = AnyGroup();
        if (!g)
            return;
        DWORD rate = Rand(4) == 0 ? 0 : 20 + Rand(300);
        BOOL active = Rand(3) != 0;
        FLOAT deadband = static_cast<FLOAT>(Rand(10));
        DWORD revised = 0;
        if (!active)
            Drain(*g);  // a refresh carried out after deactivation sends nothing
        DWORD since = GetTickCount();
        HRESULT hr = g->state->SetState(Rand(2) ? &rate : nullptr, &revised, &active, nullptr, &deadband, nullptr,
                                        nullptr);
        Check("SetState", hr, {S_OK});
        bool was = g->active;
        g->active = active != FALSE;
        if (revised)
            g->rate = revised;
        if (!g->active) {
            std::lock_guard<std::mutex> lock(g->m);
            g->expectBy.clear();
        } else if (!was) {
            for (auto& item : g->list)
                ExpectFirstDelivery(*g, item, since);
        }
    }

    void Rename()
    {
        GroupState* g = AnyGroup();
        if (!g)
            return;
        std::wstring name = Rand(3) ? L"g" + std::to_wstring(Rand(20)) : L"";
        Check("SetName", g->state->SetName(name.c_str()), {S_OK, OPC_E_DUPLICATENAME});
    }

    void Clone()
    {
        GroupState* g = AnyGroup();
        if (!g)
            return;
        ComPtr<IOPCGroupStateMgt> clone;
        HRESULT hr = g->state->CloneGroup(L"", IID_IOPCGroupStateMgt, reinterpret_cast<IUnknown**>(clone.GetAddressOf()));
        Check("CloneGroup", hr, {S_OK, S_FALSE});
        if (SUCCEEDED(hr)) {
            DWORD rate, lcid;
            BOOL active;
            LPWSTR name = nullptr;
            LONG bias;
            FLOAT deadband;
            OPCHANDLE hClient, hServer;
            Check("GetState", clone->GetState(&rate, &active, &name, &bias, &deadband, &lcid, &hClient, &hServer), {S_OK});
            CoTaskMemFree(name);
            Check("RemoveGroup clone", m_server->RemoveGroup(hServer, Rand(2)), {S_OK});
        }
    }

    void Advise()
    {
        GroupState* g = AnyGroup();
        if (!g)
            return;
        int which = Rand(3);
        DWORD* slot = which == 0 ? &g->cData : which == 1 ? &g->cTime : &g->cWrite;
        if (*slot)
            return;
        UINT cf = which == 0 ? g_cfData : which == 1 ? g_cfTime : g_cfWrite;
        FORMATETC fe = {static_cast<CLIPFORMAT>(cf), nullptr, DVASPECT_CONTENT, -1, TYMED_HGLOBAL};
        DWORD since = GetTickCount();
        HRESULT hr = g->data->DAdvise(&fe, 0, g->sink, slot);
        Check("DAdvise", hr, {S_OK});
        if (which < 2 && g->active)
            for (auto& item : g->list)
                ExpectFirstDelivery(*g, item, since);
    }

    void Unadvise()
    {
        GroupState* g = AnyGroup();
        if (!g)
            return;
        Drain(*g);  // completions of its transactions arrive first
        DWORD* slots[3] = {&g->cData, &g->cTime, &g->cWrite};
        DWORD* slot = slots[Rand(3)];
        if (!*slot) {
            Check("DUnadvise unknown", g->data->DUnadvise(0xFFFFFFF1u), {E_FAIL});
            return;
        }
        Check("DUnadvise", g->data->DUnadvise(*slot), {S_OK});
        *slot = 0;
        if (!g->cData && !g->cTime) {
            std::lock_guard<std::mutex> lock(g->m);
            g->expectBy.clear();
        }
    }

    // Some of a group's handles; never empty (a count of 0 still needs an
    // array on the wire), so a group without items gets a stale handle.
    std::vector<OPCHANDLE> SomeHandles(GroupState& g, bool withStale)
    {
        std::vector<OPCHANDLE> h;
        for (auto& item : g.list)
            if (Rand(2))
                h.push_back(item.hServer);
        if (withStale || h.empty())
            h.push_back(0xFFFFFFF2u);
        return h;
    }

    void SyncRead()
    {
        GroupState* g = AnyGroup();
        if (!g)
            return;
        auto h = SomeHandles(*g, Rand(5) == 0);
        OPCITEMSTATE* states = nullptr;
        HRESULT* errors = nullptr;
        HRESULT hr = g->sync->Read(Rand(2) ? OPC_DS_CACHE : OPC_DS_DEVICE, static_cast<DWORD>(h.size()), h.data(),
                                   &states, &errors);
        Check("Read", hr, {S_OK, S_FALSE});
        if (hr == S_OK && h.back() == 0xFFFFFFF2u)
            Violation("Read of a stale handle gave S_OK");
        for (size_t i = 0; states && i < h.size(); ++i)
            VariantClear(&states[i].vDataValue);
        CoTaskMemFree(states);
        CoTaskMemFree(errors);
    }

    std::vector<VARIANT> Values(size_t n)
    {
        std::vector<VARIANT> v(n);
        for (auto& x : v) {
            VariantInit(&x);
            x.vt = VT_R8;
            x.dblVal = Rand(4);  // a function number, a period, t0, on (non-zero)
        }
        return v;
    }

    void SyncWrite()
    {
        GroupState* g = AnyGroup();
        if (!g)
            return;
        auto h = SomeHandles(*g, false);
        auto v = Values(h.size());
        HRESULT* errors = nullptr;
        HRESULT hr = g->sync->Write(static_cast<DWORD>(h.size()), h.data(), v.data(), &errors);
        Check("Write", hr, {S_OK, S_FALSE});
        CoTaskMemFree(errors);
    }

    void AsyncOp()
    {
        GroupState* g = AnyGroup();
        if (!g)
            return;
        DWORD tid = 0;
        HRESULT* errors = nullptr;
        HRESULT hr;
        int op = Rand(4);
        DWORD dataConnection = g->cTime ? g->cTime : g->cData;
        auto h = SomeHandles(*g, false);
        if (op == 0) {
            hr = g->async->Read(dataConnection, Rand(2) ? OPC_DS_CACHE : OPC_DS_DEVICE, static_cast<DWORD>(h.size()),
                                h.data(), &tid, &errors);
            Check("AsyncIO::Read", hr, {S_OK, S_FALSE, OLE_E_NOCONNECTION});
        } else if (op == 1) {
            auto v = Values(h.size());
            hr = g->async->Write(g->cWrite, static_cast<DWORD>(h.size()), h.data(), v.data(), &tid, &errors);
            Check("AsyncIO::Write", hr, {S_OK, S_FALSE, OLE_E_NOCONNECTION});
        } else if (op == 2) {
            bool any = false;
            for (auto& item : g->list)
                any = any || item.active;
            hr = g->async->Refresh(dataConnection, OPC_DS_CACHE, &tid);
            Check("AsyncIO::Refresh", hr, {S_OK, OLE_E_NOCONNECTION, E_FAIL});
            if (hr == E_FAIL && g->active && any && dataConnection)
                Violation("Refresh of an active group with active items failed");
        } else {
            DWORD victim;
            {
                std::lock_guard<std::mutex> lock(g->m);
                if (g->pending.empty()) {
                    ++g_counters.calls;
                    return;
                }
                victim = *std::next(g->pending.begin(), Rand(static_cast<int>(g->pending.size())));
            }
            // Never call the server while holding what the sink needs: the
            // server may be calling the sink with the group's lock held.
            hr = g->async->Cancel(victim);
            Check("AsyncIO::Cancel", hr, {S_OK, E_FAIL});
            if (hr == S_OK) {
                std::lock_guard<std::mutex> lock(g->m);
                if (g->completions.count(victim))
                    Violation("a cancelled transaction had completed");
                g->pending.erase(victim);
                g->cancelledIds.insert(victim);
                ++g_counters.cancelled;
            }
            return;
        }
        CoTaskMemFree(errors);
        if (getenv("VANTREL_SOAK_TRACE"))
            fprintf(stderr, "async op %d group %lu connection %lu/%lu/%lu -> 0x%08lX tid %lu\n", op,
                    static_cast<unsigned long>(g->hServer), static_cast<unsigned long>(g->cData),
                    static_cast<unsigned long>(g->cTime), static_cast<unsigned long>(g->cWrite),
                    static_cast<unsigned long>(hr), static_cast<unsigned long>(tid));
        if (hr == S_OK) {
            ++g_counters.asyncIssued;
            if (tid == 0)
                Violation("transaction identifier 0");
            std::lock_guard<std::mutex> lock(g->m);
            g->pending.insert(tid);
        }
    }

    void Browse()
    {
        ComPtr<IOPCBrowseServerAddressSpace> b;
        Check("QI browse", m_server.As(&b), {S_OK});
        if (!b)
            return;
        static const wchar_t* filters[] = {L"", L"*", L"*o*", L"[a-f]*", L"[!a-f]*", L"??", L"T#", L"[abc"};
        ComPtr<IEnumString> e;
        HRESULT hr = b->BrowseOPCItemIDs(OPC_FLAT, filters[Rand(8)], VT_EMPTY, 0, e.GetAddressOf());
        Check("BrowseOPCItemIDs", hr, {S_OK, S_FALSE});
        // The client's proxy keeps one browse object per server proxy, so
        // the position is shared by every call here: go down and back up.
        Check("ChangeBrowsePosition", b->ChangeBrowsePosition(OPC_BROWSE_DOWN, L"setX"), {S_OK});
        LPWSTR id = nullptr;
        Check("GetItemID", b->GetItemID(const_cast<wchar_t*>(L"on"), &id), {S_OK});
        CoTaskMemFree(id);
        Check("ChangeBrowsePosition up", b->ChangeBrowsePosition(OPC_BROWSE_UP, L""), {S_OK});
    }

    void CheckDeliveries()
    {
        DWORD now = GetTickCount();
        for (auto& g : m_groups) {
            std::lock_guard<std::mutex> lock(g->m);
            for (auto it = g->expectBy.begin(); it != g->expectBy.end();) {
                auto d = g->deliveredAt.find(it->first);
                if (d != g->deliveredAt.end() && static_cast<LONG>(d->second - it->second.first) >= 0) {
                    it = g->expectBy.erase(it);
                } else if (static_cast<LONG>(now - it->second.second) > 0) {
                    ++g_counters.lateItems;
                    fprintf(stderr, "late: client handle %lu of group %lu (rate %lu)\n",
                            static_cast<unsigned long>(it->first), static_cast<unsigned long>(g->hServer),
                            static_cast<unsigned long>(g->rate));
                    it = g->expectBy.erase(it);
                } else {
                    ++it;
                }
            }
        }
    }

    std::mt19937 m_rng;
    ComPtr<IOPCServer> m_server;
    std::vector<std::unique_ptr<GroupState>> m_groups;
    OPCHANDLE m_nextClient = 1000;
};

int WorkerMain(unsigned seed, double seconds)
{
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    g_cfData = RegisterClipboardFormatW(L"OPCSTMFORMATDATA");
    g_cfTime = RegisterClipboardFormatW(L"OPCSTMFORMATDATATIME");
    g_cfWrite = RegisterClipboardFormatW(L"OPCSTMFORMATWRITECOMPLETE");
    int rc = Worker(seed).Run(seconds);
    CoUninitialize();
    const Counters& c = g_counters;
    long failures = c.violations + c.lost + c.twice + c.lateItems + c.backwards;
    printf("SUMMARY %ld %ld %ld %ld %ld %ld %ld %ld %ld %ld\n", c.calls, c.violations, c.asyncIssued, c.completed,
           c.cancelled, c.lost, c.twice, c.dataBlocks, c.lateItems, c.backwards);
    fflush(stdout);
    return rc != 0 ? rc : (failures ? 1 : 0);
}

// ---------------------------------------------------------------- parent

struct Sample {
    double minute;
    SIZE_T workingSet;
    DWORD handles;
    DWORD threads;
};

Sample Measure(HANDLE process, DWORD pid, double minute)
{
    Sample s{minute, 0, 0, 0};
    s.workingSet = WorkingSetOf(process);
    GetProcessHandleCount(process, &s.handles);
    s.threads = ThreadCount(pid);
    return s;
}

int ParentMain(int clients, double seconds, unsigned seed, double sampleSeconds)
{
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    ComPtr<IOPCServer> holder;  // keeps the server up while the workers come and go
    HRESULT hr = CoCreateInstance(CLSID_OPCServer, nullptr, CLSCTX_LOCAL_SERVER, IID_IOPCServer,
                                  reinterpret_cast<void**>(holder.GetAddressOf()));
    if (FAILED(hr)) {
        fprintf(stderr, "cannot create the server: 0x%08lX\n", static_cast<unsigned long>(hr));
        return 2;
    }
    DWORD pid = FindServerPid();
    HANDLE process = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, pid);
    std::vector<Sample> samples;
    samples.push_back(Measure(process, pid, 0));

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
                           L" --seconds " + std::to_wstring(seconds);
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
        if (WaitForSingleObject(process, 0) == WAIT_OBJECT_0)
            serverDied = true;
        if (r != WAIT_TIMEOUT)
            break;
        samples.push_back(Measure(process, pid, (GetTickCount() - start) / 60000.0));
        if (GetTickCount() - start > (seconds + 300) * 1000)
            break;  // a worker that never ends is reported below
    }
    samples.push_back(Measure(process, pid, (GetTickCount() - start) / 60000.0));

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
            sscanf(out.c_str() + p, "SUMMARY %ld %ld %ld %ld %ld %ld %ld %ld %ld %ld", &c.calls, &c.violations,
                   &c.asyncIssued, &c.completed, &c.cancelled, &c.lost, &c.twice, &c.dataBlocks, &c.lateItems,
                   &c.backwards);
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
        CloseHandle(workers[i].hProcess);
        CloseHandle(workers[i].hThread);
    }

    // After every client released everything, the server ends within 2 s.
    holder.Reset();
    DWORD t0 = GetTickCount();
    bool ended = WaitForSingleObject(process, 10000) == WAIT_OBJECT_0;
    DWORD exitMs = GetTickCount() - t0;
    CloseHandle(process);
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
    printf("| data-change blocks received | %ld |\n", total.dataBlocks);
    printf("| active items not delivered within 3 update periods (+2 s) | %ld |\n", total.lateItems);
    printf("| time stamps going backwards | %ld |\n", total.backwards);
    printf("| workers that failed | %d |\n", failedWorkers);
    printf("| server stayed up | %s |\n", serverDied ? "NO" : "yes");
    printf("| server ended after the last release | %s (%lu ms) |\n", ended ? "yes" : "NO",
           static_cast<unsigned long>(exitMs));
    printf("\n| minute | working set (KiB) | handles | threads |\n|---|---|---|---|\n");
    for (const Sample& s : samples)
        printf("| %.2f | %lu | %lu | %lu |\n", s.minute, static_cast<unsigned long>(s.workingSet / 1024),
               static_cast<unsigned long>(s.handles), static_cast<unsigned long>(s.threads));
    bool ok = total.violations == 0 && total.lost == 0 && total.twice == 0 && total.lateItems == 0 &&
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
        else if (a == L"--clients")
            clients = _wtoi(next());
        else if (a == L"--seconds")
            seconds = _wtof(next());
        else if (a == L"--seed")
            seed = static_cast<unsigned>(_wtoi(next()));
        else if (a == L"--sample-seconds")
            sampleSeconds = _wtof(next());
        else {
            fprintf(stderr, "usage: vantrel-soak [--clients N] [--seconds S] [--seed X] [--sample-seconds P]\n");
            return 2;
        }
    }
    setvbuf(stdout, nullptr, _IOLBF, 4096);
    return worker ? WorkerMain(seed, seconds) : ParentMain(clients, seconds, seed, sampleSeconds);
}
