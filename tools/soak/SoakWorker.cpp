// vantrel-soak worker: the checks, the sink, the group and item operations,
// and the worker process.
#include "soak/SoakWorker.h"

namespace soak {

std::mutex g_log;
bool g_mainOnly = false;
Counters g_counters;
UINT g_cfData, g_cfTime, g_cfWrite;

void Violation(const char* what, HRESULT hr)
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

namespace {
std::mutex g_silence;
DWORD g_lastChangeAt[2] = {0, 0}, g_longestSilence[2] = {0, 0}, g_silences[2] = {0, 0};
}  // namespace

void NoteDataChange(bool test)
{
    std::lock_guard<std::mutex> lock(g_silence);
    const DWORD now = GetTickCount();
    DWORD& last = g_lastChangeAt[test];
    if (last != 0) {
        const DWORD gap = now - last;
        g_longestSilence[test] = std::max(g_longestSilence[test], gap);
        if (gap > 1000)
            ++g_silences[test];
    }
    last = now;
}

DWORD SinceDataChange(bool test)
{
    std::lock_guard<std::mutex> lock(g_silence);
    return g_lastChangeAt[test] ? GetTickCount() - g_lastChangeAt[test] : 0;
}

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
            NoteDataChange(m_group->test);
        }
        for (DWORD i = 0; i < count; ++i) {
            OPCHANDLE h;
            memcpy(&h, p + 20 + (withTime ? 20 : 12) * i, 4);
            m_group->deliveredAt[h] = GetTickCount();
            m_group->anyDeliveryAt = GetTickCount();
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

int Worker::Run(double seconds)
{
    HRESULT hr = CoCreateInstance(CLSID_OPCServer, nullptr, CLSCTX_LOCAL_SERVER, IID_IOPCServer,
                                  reinterpret_cast<void**>(m_server.GetAddressOf()));
    if (FAILED(hr)) {
        Violation("CoCreateInstance", hr);
        return 1;
    }
    hr = CoCreateInstance(CLSID_OPCTestServer, nullptr, CLSCTX_LOCAL_SERVER, IID_IOPCServer,
                          reinterpret_cast<void**>(m_testServer.GetAddressOf()));
    if (FAILED(hr)) {
        Violation("CoCreateInstance(test server)", hr);
        return 1;
    }
    DWORD start = GetTickCount();
    while (GetTickCount() - start < seconds * 1000) {
        Step();
        CheckDeliveries();
    }
    size_t testGroups = 0, items = 0;
    for (auto& g : m_groups) {
        testGroups += g->test ? 1 : 0;
        items += g->list.size();
    }
    fprintf(stderr, "worker: %u groups at the end (%u on the test server), %u items\n",
            static_cast<unsigned>(m_groups.size()), static_cast<unsigned>(testGroups), static_cast<unsigned>(items));
    {
        std::lock_guard<std::mutex> lock(g_silence);
        fprintf(stderr, "worker: longest time without a data change: main %lu ms, test %lu ms; over 1 s: %lu, %lu\n",
                static_cast<unsigned long>(g_longestSilence[0]), static_cast<unsigned long>(g_longestSilence[1]),
                static_cast<unsigned long>(g_silences[0]), static_cast<unsigned long>(g_silences[1]));
    }
    for (auto& g : m_groups)
        Drain(*g);
    CheckDeliveries();
    // Items reported late are waited for until they come or never can.
    auto anyLate = [&] {
        for (auto& g : m_groups) {
            std::lock_guard<std::mutex> lock(g->m);
            for (auto& e : g->expectBy)
                if (e.second.late)
                    return true;
        }
        return false;
    };
    for (DWORD t0 = GetTickCount(); anyLate() && GetTickCount() - t0 < 32000;) {
        Sleep(100);
        CheckDeliveries();
    }
    for (auto& g : m_groups)
        Finish(*g, true);
    m_groups.clear();
    m_server.Reset();
    m_testServer.Reset();
    return 0;
}

std::wstring Worker::RandomItemId(const GroupState& g)
{
    static const wchar_t* types[] = {L"bool", L"i1",  L"ui1", L"i2",   L"ui2", L"i4", L"ui4",  L"i8",
                                     L"ui8",  L"int", L"uint", L"r4", L"r8", L"cy", L"date", L"string"};
    // faults.write_only is left out: it is never read, so never delivered.
    static const wchar_t* faults[] = {L"read_error", L"write_error", L"bad",  L"uncertain",
                                      L"random_quality", L"value", L"quality"};
    if (g.test) {
        switch (Rand(6)) {
        case 0: return std::wstring(L"echo.") + types[Rand(16)];
        case 1: return std::wstring(L"echo.array.") + types[Rand(16)];
        case 2: return std::wstring(L"random.") + types[Rand(16)];
        case 3: return std::wstring(L"random.array.") + types[Rand(16)];
        case 4: return std::wstring(L"faults.") + faults[Rand(7)];
        default: break;  // the test server's sets 1-4 run; others are addable
        }
    }
    static const wchar_t* names[] = {L"item", L"fct", L"on", L"period", L"t0", L"itemX", L"nope"};
    int set = Rand(50);
    int n = Rand(100) < 5 ? 6 : Rand(6);
    return L"set" + std::to_wstring(set) + L"." + names[n];
}

void Worker::Step()
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

void Worker::AddGroup()
{
    auto g = std::make_unique<GroupState>();
    g->test = Rand(3) == 0 && !g_mainOnly;
    g->server = g->test ? m_testServer.Get() : m_server.Get();
    DWORD revised = 0;
    g->rate = Rand(4) == 0 ? 0 : 20 + Rand(300);
    FLOAT deadband = static_cast<FLOAT>(Rand(3) == 0 ? Rand(20) : 0);
    std::wstring name = Rand(2) ? L"" : L"g" + std::to_wstring(Rand(20));
    HRESULT hr = g->server->AddGroup(name.c_str(), FALSE, g->rate, 7, nullptr, &deadband, 0, &g->hServer, &revised,
                                    IID_IOPCGroupStateMgt, reinterpret_cast<IUnknown**>(g->state.GetAddressOf()));
    Check("AddGroup", hr, {S_OK, OPC_E_DUPLICATENAME});
    if (hr != S_OK)
        return;
    g->state.As(&g->items);
    g->state.As(&g->sync);
    g->state.As(&g->async);
    g->state.As(&g->data);
    g->state.As(&g->async2);
    ComPtr<IConnectionPointContainer> cpc;
    g->state.As(&cpc);
    if (cpc)
        Check("FindConnectionPoint", cpc->FindConnectionPoint(IID_IOPCDataCallback, g->point.GetAddressOf()), {S_OK});
    g->sink = new Sink(g.get());
    g->callback = new Callback(g.get());
    m_groups.push_back(std::move(g));
}

void Worker::Drain(GroupState& g)
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
    for (DWORD tid : g.cancelNotices)
        if (!g.pending.count(tid))
            ++g_counters.twice;  // a cancel notice of no transaction we started
    g.pending.clear();
    g.completions.clear();
    g.cancelIdOf.clear();
    g.cancelNotices.clear();
}

void Worker::Finish(GroupState& g, bool force)
{
    {
        std::lock_guard<std::mutex> lock(g.m);
        g.expectBy.clear();
    }
    HRESULT hr = g.server->RemoveGroup(g.hServer, force);
    Check("RemoveGroup", hr, {S_OK});
    g.state.Reset();
    g.items.Reset();
    g.sync.Reset();
    g.async.Reset();
    g.data.Reset();
    g.async2.Reset();
    g.point.Reset();
    g.sink->Release();
    g.callback->Release();
}

void Worker::RemoveGroup()
{
    if (m_groups.empty())
        return;
    size_t i = Rand(static_cast<int>(m_groups.size()));
    Drain(*m_groups[i]);
    Finish(*m_groups[i], Rand(2) == 0);
    m_groups.erase(m_groups.begin() + i);
}

void Worker::ExpectFirstDelivery(GroupState& g, const ItemState& item, DWORD since)
{
    bool advised = g.cData || g.cTime || (g.cookie && g.enabled);
    if (!g.active || !item.active || !advised)
        return;
    std::lock_guard<std::mutex> lock(g.m);
    // Three update periods, with room for a loaded 2-core machine.
    g.expectBy[item.hClient] = {since, GetTickCount() + 3 * std::max<DWORD>(g.rate, 100) + 2000, false};
}

void Worker::AddItems()
{
    GroupState* g = AnyGroup();
    if (!g)
        return;
    int n = 1 + Rand(5);
    std::vector<std::wstring> ids;
    std::vector<OPCITEMDEF> defs(n);
    for (int i = 0; i < n; ++i)
        ids.push_back(RandomItemId(*g));
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
        // A test item's type may not convert to the requested R4.
        if (g->test)
            Check("AddItems item", errors[i], {S_OK, OPC_E_UNKNOWNITEMID, OPC_E_BADTYPE});
        else
            Check("AddItems item", errors[i], {S_OK, OPC_E_UNKNOWNITEMID});
        if (SUCCEEDED(errors[i])) {
            ItemState item{results[i].hServer, defs[i].hClient, defs[i].bActive != FALSE, ids[i],
                           defs[i].vtRequestedDataType};
            g->list.push_back(item);
            ExpectFirstDelivery(*g, item, since);
        }
    }
    CoTaskMemFree(results);
    CoTaskMemFree(errors);
}

void Worker::RemoveItems()
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

void Worker::SetActiveState()
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

void Worker::SetState()
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
    const bool requested = Rand(2) != 0;
    HRESULT hr = g->state->SetState(requested ? &rate : nullptr, &revised, &active, nullptr, &deadband, nullptr,
                                    nullptr);
    Check("SetState", hr, {S_OK});
    bool was = g->active;
    g->active = active != FALSE;
    if (requested)
        g->rate = revised;
    if (!g->active) {
        std::lock_guard<std::mutex> lock(g->m);
        g->expectBy.clear();
    } else if (!was) {
        for (auto& item : g->list)
            ExpectFirstDelivery(*g, item, since);
    }
}

void Worker::Rename()
{
    GroupState* g = AnyGroup();
    if (!g)
        return;
    std::wstring name = Rand(3) ? L"g" + std::to_wstring(Rand(20)) : L"";
    Check("SetName", g->state->SetName(name.c_str()), {S_OK, OPC_E_DUPLICATENAME});
}

void Worker::Clone()
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
        Check("RemoveGroup clone", g->server->RemoveGroup(hServer, Rand(2)), {S_OK});
    }
}

void Worker::Advise()
{
    GroupState* g = AnyGroup();
    if (!g)
        return;
    int which = Rand(4);
    if (which == 3) {
        AdviseCallback(*g);
        return;
    }
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

void Worker::Unadvise()
{
    GroupState* g = AnyGroup();
    if (!g)
        return;
    Drain(*g);  // completions of its transactions arrive first
    int which = Rand(4);
    if (which == 3) {
        UnadviseCallback(*g);
        return;
    }
    DWORD* slots[3] = {&g->cData, &g->cTime, &g->cWrite};
    DWORD* slot = slots[which];
    if (!*slot) {
        Check("DUnadvise unknown", g->data->DUnadvise(0xFFFFFFF1u), {E_FAIL});
        return;
    }
    Check("DUnadvise", g->data->DUnadvise(*slot), {S_OK});
    *slot = 0;
    if (!g->cData && !g->cTime && !(g->cookie && g->enabled)) {  // nobody left to deliver to
        std::lock_guard<std::mutex> lock(g->m);
        g->expectBy.clear();
    }
}

namespace {
// A first delivery that has not come this long after it was due never comes.
const LONG kNeverMs = 30000;
}  // namespace

void Worker::CheckDeliveries()
{
    DWORD now = GetTickCount();
    std::vector<std::pair<GroupState*, OPCHANDLE>> late;  // looked at below, outside the group's lock
    for (auto& g : m_groups) {
        std::lock_guard<std::mutex> lock(g->m);
        for (auto it = g->expectBy.begin(); it != g->expectBy.end();) {
            auto d = g->deliveredAt.find(it->first);
            const GroupState::Expectation& e = it->second;
            if (d != g->deliveredAt.end() && static_cast<LONG>(d->second - e.since) >= 0) {
                if (e.late) {
                    const long ms = static_cast<LONG>(d->second - e.dueBy);
                    g_counters.latestMs = std::max(g_counters.latestMs, ms);
                    fprintf(stderr, "late: client handle %lu delivered %ld ms after it was due\n",
                            static_cast<unsigned long>(it->first), ms);
                }
                it = g->expectBy.erase(it);
            } else if (e.late) {
                if (static_cast<LONG>(now - e.dueBy) > kNeverMs) {
                    ++g_counters.neverDelivered;
                    fprintf(stderr, "never delivered: client handle %lu of group %lu\n",
                            static_cast<unsigned long>(it->first), static_cast<unsigned long>(g->hServer));
                    it = g->expectBy.erase(it);
                } else {
                    ++it;
                }
            } else if (static_cast<LONG>(now - e.dueBy) > 0) {
                ++g_counters.lateItems;
                const ItemState* item = nullptr;
                for (const ItemState& i : g->list)
                    if (i.hClient == it->first)
                        item = &i;
                fprintf(stderr,
                        "late: client handle %lu (%ls, requested type %u) of group %lu (rate %lu%s%s%s%s, %s), "
                        "%s delivery since %lu ms, due %lu ms ago, the group's last delivery %lu ms ago\n",
                        static_cast<unsigned long>(it->first), item ? item->id.c_str() : L"?",
                        item ? item->requested : 0, static_cast<unsigned long>(g->hServer),
                        static_cast<unsigned long>(g->rate), g->cData ? ", data" : "", g->cTime ? ", time" : "",
                        g->cookie ? ", callback" : "", g->cookie && !g->enabled ? " disabled" : "",
                        g->test ? "test server" : "main", d == g->deliveredAt.end() ? "no" : "a",
                        static_cast<unsigned long>(d == g->deliveredAt.end() ? 0 : now - d->second),
                        static_cast<unsigned long>(now - e.dueBy),
                        static_cast<unsigned long>(g->anyDeliveryAt ? now - g->anyDeliveryAt : 0));
                if (item)
                    late.emplace_back(g.get(), item->hServer);
                it->second.late = true;  // watched on: delivered late, or never
                ++it;
            } else {
                ++it;
            }
        }
    }
    // What the server holds for a late item: its cache value's quality and
    // time, and the group's state.
    for (auto& [g, hServer] : late) {
        OPCITEMSTATE* states = nullptr;
        HRESULT* errors = nullptr;
        HRESULT hr = g->sync->Read(OPC_DS_CACHE, 1, &hServer, &states, &errors);
        DWORD rate = 0, lcid = 0;
        BOOL active = FALSE;
        LPWSTR name = nullptr;
        LONG bias = 0;
        FLOAT deadband = 0;
        OPCHANDLE hClient = 0, hGroup = 0;
        g->state->GetState(&rate, &active, &name, &bias, &deadband, &lcid, &hClient, &hGroup);
        CoTaskMemFree(name);
        int itemActive = -1;  // the item's own state in the server (-1: not found)
        ComPtr<IEnumOPCItemAttributes> all;
        if (SUCCEEDED(g->items->CreateEnumerator(IID_IEnumOPCItemAttributes,
                                                 reinterpret_cast<IUnknown**>(all.GetAddressOf()))) && all) {
            OPCITEMATTRIBUTES* a = nullptr;
            ULONG got = 0;
            while (all->Next(1, &a, &got) == S_OK && got == 1) {
                if (a->hServer == hServer)
                    itemActive = a->bActive ? 1 : 0;
                CoTaskMemFree(a->szAccessPath);
                CoTaskMemFree(a->szItemID);
                CoTaskMemFree(a->pBlob);
                VariantClear(&a->vEUInfo);
                CoTaskMemFree(a);
                a = nullptr;
            }
        }
        FILETIME nowTime;
        GetSystemTimeAsFileTime(&nowTime);
        auto ms = [](const FILETIME& f) {
            return static_cast<LONGLONG>((static_cast<ULONGLONG>(f.dwHighDateTime) << 32) | f.dwLowDateTime) / 10000;
        };
        fprintf(stderr, "  the server: read 0x%08lx, item 0x%08lx, quality 0x%02x, value time %lld ms ago; "
                        "group active %d, rate %lu, item active %d; its last data change to this client %lu ms ago\n",
                static_cast<unsigned long>(hr), static_cast<unsigned long>(errors ? errors[0] : 0),
                states ? states[0].wQuality : 0, states ? ms(nowTime) - ms(states[0].ftTimeStamp) : 0LL,
                active, static_cast<unsigned long>(rate), itemActive,
                static_cast<unsigned long>(SinceDataChange(g->test)));
        if (states)
            VariantClear(&states[0].vDataValue);
        CoTaskMemFree(states);
        CoTaskMemFree(errors);
    }
}

int WorkerMain(unsigned seed, double seconds)
{
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    g_cfData = RegisterClipboardFormatW(L"OPCSTMFORMATDATA");
    g_cfTime = RegisterClipboardFormatW(L"OPCSTMFORMATDATATIME");
    g_cfWrite = RegisterClipboardFormatW(L"OPCSTMFORMATWRITECOMPLETE");
    int rc = Worker(seed).Run(seconds);
    CoUninitialize();
    const Counters& c = g_counters;
    long failures = c.violations + c.lost + c.twice + c.neverDelivered + c.backwards;
    printf("SUMMARY %ld %ld %ld %ld %ld %ld %ld %ld %ld %ld %ld %ld %ld %ld\n", c.calls, c.violations, c.asyncIssued,
           c.completed, c.cancelled, c.lost, c.twice, c.dataBlocks, c.lateItems, c.backwards, c.callbackCalls,
           c.async2Issued, c.latestMs, c.neverDelivered);
    fflush(stdout);
    return rc != 0 ? rc : (failures ? 1 : 0);
}

}  // namespace soak
