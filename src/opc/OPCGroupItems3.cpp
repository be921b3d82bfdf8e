// The group's DA 3.0 item settings and keep-alive: IOPCItemDeadbandMgt,
// IOPCItemSamplingMgt and IOPCGroupStateMgt2.
#include "common/ComUtil.h"
#include "common/OPCGlob.h"
#include "opc/OPCGroup.h"
#include "opc/OPCItem.h"

#include <cmath>

namespace {
// The device samples every item every 10 ms: no item is sampled faster.
const DWORD kFastestSamplingMs = 10;

// The frame of the per-item calls: entry checks, the errors array and, when
// out is given, one out array; apply(item, i, &out[i]) gives an item's
// result. Unknown handles are OPC_E_INVALIDHANDLE.
template <class T, class Apply>
HRESULT PerItem(COPCGroup* group, DWORD dwCount, const OPCHANDLE* phServer, const void* in, T** ppOut,
                HRESULT** ppErrors, Apply apply)
{
    CCsLock lock(group->m_cs);
    if (group->m_bRemoved)
        return E_FAIL;
    if (!IsWritableOut(ppErrors) || (ppOut && !IsWritableOut(ppOut)))
        return E_INVALIDARG;
    *ppErrors = nullptr;
    if (ppOut)
        *ppOut = nullptr;
    if (dwCount == 0 || !phServer || !in)
        return E_INVALIDARG;
    return ComBoundary([&]() -> HRESULT {
        CTaskMem<HRESULT> errors;
        CTaskMem<T> out;
        if (!errors.Allocate(dwCount) || (ppOut && !out.Allocate(dwCount)))
            return E_OUTOFMEMORY;
        HRESULT result = S_OK;
        for (DWORD i = 0; i < dwCount; ++i) {
            T scratch{};
            T* slot = ppOut ? &out[i] : &scratch;
            *slot = T{};
            auto it = group->m_items.find(phServer[i]);
            errors[i] = it == group->m_items.end() ? OPC_E_INVALIDHANDLE : apply(it->second, i, slot);
            if (errors[i] != S_OK)
                result = S_FALSE;
        }
        if (ppOut)
            *ppOut = out.Detach();
        *ppErrors = errors.Detach();
        return result;
    });
}

bool Analog(const COPCItem* item) { return item->m_dwEUType == OPC_ANALOG && item->m_pEU; }
}  // namespace

STDMETHODIMP COPCGroup::SetItemDeadband(DWORD dwCount, OPCHANDLE* phServer, FLOAT* pPercentDeadband,
                                        HRESULT** ppErrors)
{
    return PerItem<int>(this, dwCount, phServer, pPercentDeadband, nullptr, ppErrors, [&](COPCItem* item, DWORD i, int*) {
        const FLOAT db = pPercentDeadband[i];
        if (!(db >= 0.0f && db <= 100.0f))  // NaN too
            return E_INVALIDARG;
        if (!Analog(item))
            return OPC_E_DEADBANDNOTSUPPORTED;
        item->m_bDeadbandSet = true;
        item->m_fDeadband = db;
        return S_OK;
    });
}

STDMETHODIMP COPCGroup::GetItemDeadband(DWORD dwCount, OPCHANDLE* phServer, FLOAT** ppPercentDeadband,
                                        HRESULT** ppErrors)
{
    return PerItem<FLOAT>(this, dwCount, phServer, phServer, ppPercentDeadband, ppErrors,
                          [](COPCItem* item, DWORD, FLOAT* out) {
                              if (!Analog(item))
                                  return OPC_E_DEADBANDNOTSUPPORTED;
                              if (!item->m_bDeadbandSet)
                                  return OPC_E_DEADBANDNOTSET;
                              *out = item->m_fDeadband;
                              return S_OK;
                          });
}

STDMETHODIMP COPCGroup::ClearItemDeadband(DWORD dwCount, OPCHANDLE* phServer, HRESULT** ppErrors)
{
    return PerItem<int>(this, dwCount, phServer, phServer, nullptr, ppErrors, [](COPCItem* item, DWORD, int*) {
        if (!Analog(item))
            return OPC_E_DEADBANDNOTSUPPORTED;
        if (!item->m_bDeadbandSet)
            return OPC_E_DEADBANDNOTSET;
        item->m_bDeadbandSet = false;
        return S_OK;
    });
}

STDMETHODIMP COPCGroup::SetItemSamplingRate(DWORD dwCount, OPCHANDLE* phServer, DWORD* pdwRequestedSamplingRate,
                                            DWORD** ppdwRevisedSamplingRate, HRESULT** ppErrors)
{
    return PerItem<DWORD>(this, dwCount, phServer, pdwRequestedSamplingRate, ppdwRevisedSamplingRate, ppErrors,
                          [&](COPCItem* item, DWORD i, DWORD* revised) {
                              const DWORD requested = pdwRequestedSamplingRate[i];
                              item->m_dwSamplingRate = requested < kFastestSamplingMs ? kFastestSamplingMs : requested;
                              item->m_llNextSample = 0;
                              *revised = item->m_dwSamplingRate;
                              return *revised == requested ? S_OK : OPC_S_UNSUPPORTEDRATE;
                          });
}

STDMETHODIMP COPCGroup::GetItemSamplingRate(DWORD dwCount, OPCHANDLE* phServer, DWORD** ppdwSamplingRate,
                                            HRESULT** ppErrors)
{
    return PerItem<DWORD>(this, dwCount, phServer, phServer, ppdwSamplingRate, ppErrors,
                          [](COPCItem* item, DWORD, DWORD* rate) {
                              if (!item->m_dwSamplingRate)
                                  return OPC_E_RATENOTSET;
                              *rate = item->m_dwSamplingRate;
                              return S_OK;
                          });
}

STDMETHODIMP COPCGroup::ClearItemSamplingRate(DWORD dwCount, OPCHANDLE* phServer, HRESULT** ppErrors)
{
    return PerItem<int>(this, dwCount, phServer, phServer, nullptr, ppErrors, [](COPCItem* item, DWORD, int*) {
        if (!item->m_dwSamplingRate)
            return OPC_E_RATENOTSET;
        item->m_dwSamplingRate = 0;
        item->m_llNextSample = 0;
        return S_OK;
    });
}

STDMETHODIMP COPCGroup::SetItemBufferEnable(DWORD dwCount, OPCHANDLE* phServer, BOOL* pbEnable, HRESULT** ppErrors)
{
    // Samples are not buffered between updates: each update carries an
    // item's latest value. Switching buffering off is what already is.
    return PerItem<int>(this, dwCount, phServer, pbEnable, nullptr, ppErrors, [&](COPCItem*, DWORD i, int*) {
        return pbEnable[i] ? OPC_E_NOBUFFERING : S_OK;
    });
}

STDMETHODIMP COPCGroup::GetItemBufferEnable(DWORD dwCount, OPCHANDLE* phServer, BOOL** ppbEnable, HRESULT** ppErrors)
{
    return PerItem<BOOL>(this, dwCount, phServer, phServer, ppbEnable, ppErrors, [](COPCItem*, DWORD, BOOL* enabled) {
        *enabled = FALSE;
        return S_OK;
    });
}

STDMETHODIMP COPCGroup::SetKeepAlive(DWORD dwKeepAliveTime, DWORD* pdwRevisedKeepAliveTime)
{
    CCsLock lock(m_cs);
    if (m_bRemoved)
        return E_FAIL;
    if (!IsWritableOut(pdwRevisedKeepAliveTime))
        return E_INVALIDARG;
    // Callbacks go out with the group's updates: the keep-alive is revised
    // up to a whole number of update periods (the largest such number that
    // fits 32 bits when rounding up would not).
    m_dwKeepAlive = dwKeepAliveTime;
    if (dwKeepAliveTime && m_dwUpdateRate) {
        const unsigned long long rate = m_dwUpdateRate;
        unsigned long long up = (dwKeepAliveTime + rate - 1) / rate * rate;
        if (up > 0xFFFFFFFFull)
            up -= rate;
        m_dwKeepAlive = static_cast<DWORD>(up);
    }
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    m_llLastCallback = now.QuadPart;
    *pdwRevisedKeepAliveTime = m_dwKeepAlive;
    return m_dwKeepAlive == dwKeepAliveTime ? S_OK : OPC_S_UNSUPPORTEDRATE;
}

STDMETHODIMP COPCGroup::GetKeepAlive(DWORD* pdwKeepAliveTime)
{
    CCsLock lock(m_cs);
    if (m_bRemoved)
        return E_FAIL;
    if (!IsWritableOut(pdwKeepAliveTime))
        return E_INVALIDARG;
    *pdwKeepAliveTime = m_dwKeepAlive;
    return S_OK;
}

void COPCGroup::PrepareKeepAlive()
{
    CCsLock lock(m_cs);
    if (!m_dwKeepAlive || !m_bCallbackEnabled || m_pDelivery)
        return;
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    // Due at the update nearest to the keep-alive time (a whole number of
    // update periods; a later SetState may change the period).
    const LONGLONG elapsed2 = (now.QuadPart - m_llLastCallback) * 2;
    if (elapsed2 + static_cast<LONGLONG>(m_dwUpdateRate + 1) * TicksPerMs() <
        static_cast<LONGLONG>(m_dwKeepAlive) * 2 * TicksPerMs())
        return;
    m_pDelivery = NewCallbackDelivery(CCallbackDelivery::kDataChange, 0);
    if (m_pDelivery)
        m_llLastCallback = now.QuadPart;
}
