// vantrel-soak worker: reads, writes, asynchronous operations and browsing.
#include "soak/SoakWorker.h"

namespace soak {

std::vector<OPCHANDLE> Worker::SomeHandles(GroupState& g, bool withStale)
{
    std::vector<OPCHANDLE> h;
    for (auto& item : g.list)
        if (Rand(2))
            h.push_back(item.hServer);
    if (withStale || h.empty())
        h.push_back(0xFFFFFFF2u);
    return h;
}

void Worker::SyncRead()
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

ValueList Worker::Values(const GroupState& g, size_t n)
{
    ValueList list;
    list.v.resize(n);
    for (auto& x : list.v) {
        VariantInit(&x);
        x.vt = VT_R8;
        x.dblVal = Rand(4);  // a function number, a period, t0, on (non-zero)
        if (!g.test)
            continue;
        // Any type the echo items take, a string of letters no number item
        // takes, an array, or a quality for faults.quality.
        switch (Rand(6)) {
        case 0:
            x.vt = VT_BSTR;
            x.bstrVal = SysAllocString(Rand(2) ? L"text \x00e9" : L"");
            break;
        case 1:
            x.vt = VT_I8;
            x.llVal = -1234567890123LL * Rand(3);
            break;
        case 2:
            x.vt = VT_DATE;
            x.date = 46000.5 + Rand(100);
            break;
        case 3: {
            SAFEARRAYBOUND bound = {static_cast<ULONG>(Rand(5)), 0};
            x.vt = VT_ARRAY | VT_I4;
            x.parray = SafeArrayCreate(VT_I4, 1, &bound);
            for (LONG i = 0; i < static_cast<LONG>(bound.cElements); ++i) {
                LONG e = Rand(1000);
                SafeArrayPutElement(x.parray, &i, &e);
            }
            break;
        }
        case 4:
            x.vt = VT_UI2;
            x.uiVal = static_cast<USHORT>(Rand(2) ? OPC_QUALITY_GOOD : 0x54);
            break;
        default:
            break;
        }
    }
    return list;
}

void Worker::SyncWrite()
{
    GroupState* g = AnyGroup();
    if (!g)
        return;
    auto h = SomeHandles(*g, false);
    auto v = Values(*g, h.size());
    HRESULT* errors = nullptr;
    HRESULT hr = g->sync->Write(static_cast<DWORD>(h.size()), h.data(), v.data(), &errors);
    Check("Write", hr, {S_OK, S_FALSE});
    CoTaskMemFree(errors);
}

void Worker::AsyncOp()
{
    GroupState* g = AnyGroup();
    if (!g)
        return;
    if (Rand(2)) {
        Async2Op(*g);
        return;
    }
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
        auto v = Values(*g, h.size());
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

void Worker::Browse()
{
    ComPtr<IOPCBrowseServerAddressSpace> b;
    const bool test = Rand(3) == 0 && !g_mainOnly;
    Check("QI browse", (test ? m_testServer : m_server).As(&b), {S_OK});
    if (!b)
        return;
    static const wchar_t* filters[] = {L"", L"*", L"*o*", L"[a-f]*", L"[!a-f]*", L"??", L"T#", L"[abc"};
    ComPtr<IEnumString> e;
    HRESULT hr = b->BrowseOPCItemIDs(OPC_FLAT, filters[Rand(8)], VT_EMPTY, 0, e.GetAddressOf());
    Check("BrowseOPCItemIDs", hr, {S_OK, S_FALSE});
    // The client's proxy keeps one browse object per server proxy, so
    // the position is shared by every call here: go down and back up.
    Check("ChangeBrowsePosition", b->ChangeBrowsePosition(OPC_BROWSE_DOWN, test ? L"echo" : L"setX"), {S_OK});
    LPWSTR id = nullptr;
    Check("GetItemID", b->GetItemID(const_cast<wchar_t*>(test ? L"i4" : L"on"), &id), {S_OK});
    CoTaskMemFree(id);
    Check("ChangeBrowsePosition up", b->ChangeBrowsePosition(OPC_BROWSE_UP, L""), {S_OK});
}

}  // namespace soak
