// vantrel-soak worker: the 2.0 side of a group: its IOPCDataCallback, the
// callback connection, IOPCAsyncIO2 and SetEnable.
#include "soak/SoakWorker.h"

#include <olectl.h>

namespace soak {

STDMETHODIMP Callback::OnDataChange(DWORD dwTransid, OPCHANDLE hGroup, HRESULT, HRESULT, DWORD dwCount,
                                    OPCHANDLE* phClientItems, VARIANT*, WORD*, FILETIME* pftTimeStamps, HRESULT*)
{
    std::lock_guard<std::mutex> lock(m_group->m);
    ++g_counters.callbackCalls;
    if (hGroup != 7)
        Violation("a callback with another group handle than the group's client handle");
    if (dwTransid != 0) {
        ++m_group->completions[dwTransid];  // a refresh
    } else {
        ++g_counters.dataBlocks;
        NoteDataChange(m_group->test);
    }
    for (DWORD i = 0; i < dwCount; ++i) {
        m_group->deliveredAt[phClientItems[i]] = GetTickCount();
        m_group->anyDeliveryAt = GetTickCount();
        if (dwTransid == 0) {
            ULONGLONG t = (static_cast<ULONGLONG>(pftTimeStamps[i].dwHighDateTime) << 32) |
                          pftTimeStamps[i].dwLowDateTime;
            ULONGLONG& last = m_group->lastTime[phClientItems[i]];
            if (t < last)
                ++g_counters.backwards;
            last = t;
        }
    }
    return S_OK;
}

void Callback::Completed(DWORD tid, OPCHANDLE hGroup)
{
    std::lock_guard<std::mutex> lock(m_group->m);
    ++g_counters.callbackCalls;
    if (hGroup != 7)
        Violation("a completion with another group handle than the group's client handle");
    ++m_group->completions[tid];
}

STDMETHODIMP Callback::OnReadComplete(DWORD dwTransid, OPCHANDLE hGroup, HRESULT, HRESULT, DWORD dwCount,
                                      OPCHANDLE*, VARIANT*, WORD*, FILETIME*, HRESULT*)
{
    if (dwCount == 0)
        Violation("a read completion without items");
    Completed(dwTransid, hGroup);
    return S_OK;
}

STDMETHODIMP Callback::OnWriteComplete(DWORD dwTransid, OPCHANDLE hGroup, HRESULT, DWORD dwCount, OPCHANDLE*,
                                       HRESULT*)
{
    if (dwCount == 0)
        Violation("a write completion without items");
    Completed(dwTransid, hGroup);
    return S_OK;
}

STDMETHODIMP Callback::OnCancelComplete(DWORD dwTransid, OPCHANDLE hGroup)
{
    {
        std::lock_guard<std::mutex> lock(m_group->m);
        m_group->cancelNotices.insert(dwTransid);
    }
    Completed(dwTransid, hGroup);
    return S_OK;
}

void Worker::AdviseCallback(GroupState& g)
{
    if (g.cookie || !g.point)
        return;
    Check("Advise(IOPCDataCallback)", g.point->Advise(g.callback, &g.cookie), {S_OK});
    // No refresh follows: items already delivered elsewhere come with
    // their next change.
}

void Worker::UnadviseCallback(GroupState& g)
{
    if (!g.point)
        return;
    if (!g.cookie) {
        Check("Unadvise unknown", g.point->Unadvise(0xFFFFFFF3u), {CONNECT_E_NOCONNECTION});
        return;
    }
    Check("Unadvise(IOPCDataCallback)", g.point->Unadvise(g.cookie), {S_OK});
    g.cookie = 0;
    if (!g.cData && !g.cTime) {
        std::lock_guard<std::mutex> lock(g.m);
        g.expectBy.clear();
    }
}

void Worker::Async2Op(GroupState& g)
{
    if (!g.async2)
        return;
    const bool connected = g.cookie != 0;
    const HRESULT notConnected = connected ? S_OK : CONNECT_E_NOCONNECTION;
    DWORD tid = ++m_nextTid;
    DWORD cancelId = 0;
    HRESULT* errors = nullptr;
    HRESULT hr;
    auto h = SomeHandles(g, Rand(5) == 0);
    const bool stale = h.back() == 0xFFFFFFF2u;
    switch (Rand(5)) {
    case 0:
        hr = g.async2->Read(static_cast<DWORD>(h.size()), h.data(), tid, &cancelId, &errors);
        Check("AsyncIO2::Read", hr, {S_OK, S_FALSE, notConnected});
        break;
    case 1: {
        auto v = Values(g, h.size());
        hr = g.async2->Write(static_cast<DWORD>(h.size()), h.data(), v.data(), tid, &cancelId, &errors);
        Check("AsyncIO2::Write", hr, {S_OK, S_FALSE, notConnected});
        break;
    }
    case 2: {
        bool any = false;
        for (auto& item : g.list)
            any = any || item.active;
        hr = g.async2->Refresh2(Rand(2) ? OPC_DS_CACHE : OPC_DS_DEVICE, tid, &cancelId);
        Check("AsyncIO2::Refresh2", hr, {S_OK, E_FAIL, notConnected});
        if (hr == E_FAIL && g.active && any && connected)
            Violation("Refresh2 of an active group with active items failed");
        break;
    }
    case 3: {
        DWORD victimCancel = 0;
        {
            std::lock_guard<std::mutex> lock(g.m);
            if (g.cancelIdOf.empty()) {
                ++g_counters.calls;
                return;
            }
            auto it = std::next(g.cancelIdOf.begin(), Rand(static_cast<int>(g.cancelIdOf.size())));
            victimCancel = it->second;
            g.cancelIdOf.erase(it);
        }
        hr = g.async2->Cancel2(victimCancel);
        Check("AsyncIO2::Cancel2", hr, {S_OK, E_FAIL});
        if (hr == S_OK) {
            // Its OnCancelComplete comes from the server's I/O thread, before
            // or after Cancel2 returned: the drain of the group counts it as
            // the transaction's one completion.
            std::lock_guard<std::mutex> lock(g.m);
            ++g_counters.cancelled;
        }
        return;
    }
    default: {
        BOOL enable = Rand(4) != 0;
        hr = g.async2->SetEnable(enable);
        Check("AsyncIO2::SetEnable", hr, {S_OK, notConnected});
        BOOL now = FALSE;
        Check("AsyncIO2::GetEnable", g.async2->GetEnable(&now), {S_OK, notConnected});
        if (hr == S_OK) {
            if (now != enable)
                Violation("GetEnable does not give what SetEnable set");
            g.enabled = enable != FALSE;
            if (!g.enabled && !g.cData && !g.cTime) {
                std::lock_guard<std::mutex> lock(g.m);
                g.expectBy.clear();
            }
        }
        return;
    }
    }
    CoTaskMemFree(errors);
    if (connected && hr == S_FALSE && !stale)
        Violation("S_FALSE without a stale handle");
    if ((hr == S_OK || hr == S_FALSE) && cancelId != 0) {
        ++g_counters.asyncIssued;
        ++g_counters.async2Issued;
        std::lock_guard<std::mutex> lock(g.m);
        g.pending.insert(tid);
        g.cancelIdOf[tid] = cancelId;
    } else if (hr == S_OK) {
        Violation("a 2.0 transaction queued with cancel ID 0");
    }
}

}  // namespace soak
