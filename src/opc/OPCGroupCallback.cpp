// The group's connection point for IOPCDataCallback and the delivery of data
// changes to it.
#include "common/Trace.h"
#include "host/ClientWatch.h"
#include "opc/OPCGroup.h"

namespace {
const wchar_t kTraceName[] = L"COPCGroup";

}  // namespace

COPCGroup::CCallbackDelivery::~CCallbackDelivery()
{
    for (VARIANT& v : values)
        VariantClear(&v);
    CConnectionPoint::ReleaseSnapshot(sinks);
    if (group)
        group->Release();  // may be the group's last reference
}

STDMETHODIMP COPCGroup::EnumConnectionPoints(IEnumConnectionPoints** ppEnum)
{
    CConnectionPoint* points[] = {&m_cpData};
    HRESULT hr = EnumConnectionPointsIn(points, 1, ppEnum);
    if (SUCCEEDED(hr))
        TrackClientObject(static_cast<IConnectionPoint*>(&m_cpData), &m_refs, kTraceName);
    return hr;
}

STDMETHODIMP COPCGroup::FindConnectionPoint(REFIID riid, IConnectionPoint** ppCP)
{
    CConnectionPoint* points[] = {&m_cpData};
    HRESULT hr = FindConnectionPointIn(points, 1, riid, ppCP);
    // The point is an object of its own for the client: a dead client's
    // references on it go like those on the group.
    if (SUCCEEDED(hr))
        TrackClientObject(static_cast<IConnectionPoint*>(&m_cpData), &m_refs, kTraceName);
    return hr;
}

void COPCGroup::PrepareCallbackDelivery(DWORD dwCount, const OPCHANDLE* phClient, const VARIANT* pValues,
                                        const WORD* pQualities, const FILETIME* pTimeStamps)
{
    CCsLock lock(m_cs);
    if (!m_cpData.HasConnections())
        return;
    auto d = std::make_unique<CCallbackDelivery>();
    d->hGroup = m_hClient;
    d->clients.assign(phClient, phClient + dwCount);
    d->qualities.assign(pQualities, pQualities + dwCount);
    d->times.assign(pTimeStamps, pTimeStamps + dwCount);
    d->errors.assign(dwCount, S_OK);
    d->values.resize(dwCount);
    for (DWORD i = 0; i < dwCount; ++i) {
        VariantInit(&d->values[i]);
        HRESULT hr = VariantCopy(&d->values[i], const_cast<VARIANT*>(&pValues[i]));
        if (FAILED(hr))
            d->errors[i] = hr;
        if ((pQualities[i] & OPC_QUALITY_MASK) != OPC_QUALITY_GOOD)
            d->hrMasterQuality = S_FALSE;
    }
    d->sinks = m_cpData.Sinks();
    AddRef();
    d->group = this;
    m_pDelivery = std::move(d);
}

std::unique_ptr<COPCGroup::CCallbackDelivery> COPCGroup::TakeCallbackDelivery()
{
    CCsLock lock(m_cs);
    return std::move(m_pDelivery);
}

void COPCGroup::DeliverCallbacks(std::unique_ptr<CCallbackDelivery> d)
{
    if (!d)
        return;
    COPCGroup* g = d->group;
    {
        CCsLock lock(g->m_cs);
        if (g->m_bRemoved)
            return;
    }
    HRESULT hrMasterError = S_OK;
    for (HRESULT e : d->errors)
        if (FAILED(e))
            hrMasterError = S_FALSE;
    const DWORD n = static_cast<DWORD>(d->clients.size());
    for (CConnectionPoint::Connection& c : d->sinks) {
        HRESULT hr = static_cast<IOPCDataCallback*>(c.sink)->OnDataChange(
            0, d->hGroup, d->hrMasterQuality, hrMasterError, n, d->clients.data(), d->values.data(),
            d->qualities.data(), d->times.data(), d->errors.data());
        if (g->m_cpData.DropIfClientGone(c.cookie, hr))
            DebugTrace(L"OPCGroup (%ld) dropped a callback whose client is gone: 0x%08lX\n",
                       static_cast<long>(g->m_hServer), static_cast<unsigned long>(hr));
    }
}
