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

std::unique_ptr<COPCGroup::CCallbackDelivery> COPCGroup::NewCallbackDelivery(CCallbackDelivery::Kind kind,
                                                                          DWORD transid)
{
    CCsLock lock(m_cs);
    if (m_bRemoved || !m_cpData.HasConnections())
        return nullptr;
    auto d = std::make_unique<CCallbackDelivery>();
    d->kind = kind;
    d->transid = transid;
    d->hGroup = m_hClient;
    d->sinks = m_cpData.Sinks();
    AddRef();
    d->group = this;
    return d;
}

void COPCGroup::PrepareCallbackDelivery(DWORD dwCount, const OPCHANDLE* phClient, VARIANT* pValues,
                                        const WORD* pQualities, const FILETIME* pTimeStamps, const HRESULT* pErrors)
{
    CCsLock lock(m_cs);
    if (!m_bCallbackEnabled)
        return;
    auto d = NewCallbackDelivery(CCallbackDelivery::kDataChange, 0);
    if (!d)
        return;
    d->clients.assign(phClient, phClient + dwCount);
    d->qualities.assign(pQualities, pQualities + dwCount);
    d->times.assign(pTimeStamps, pTimeStamps + dwCount);
    d->errors.assign(pErrors, pErrors + dwCount);
    d->values.resize(dwCount);
    for (DWORD i = 0; i < dwCount; ++i) {
        VariantInit(&d->values[i]);
        if (FAILED(d->errors[i])) {
            d->qualities[i] = OPC_QUALITY_BAD;  // the value could not be given in the requested type
            continue;
        }
        d->values[i] = pValues[i];  // taken over: the update's copy goes no further
        VariantInit(&pValues[i]);
    }
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    m_llLastCallback = now.QuadPart;  // the keep-alive counts from here
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
    // One delivery of the group at a time; a removal waits for it.
    g->m_deliveries.Enter();
    struct Leave {
        CDeliveryGate& gate;
        ~Leave() { gate.Leave(); }
    } leave{g->m_deliveries};
    {
        CCsLock lock(g->m_cs);
        if (g->m_bRemoved)
            return;
    }
    HRESULT hrMasterQuality = S_OK, hrMasterError = S_OK;
    for (WORD q : d->qualities)
        if ((q & OPC_QUALITY_MASK) != OPC_QUALITY_GOOD)
            hrMasterQuality = S_FALSE;
    for (HRESULT e : d->errors)
        if (e != S_OK)
            hrMasterError = S_FALSE;
    const DWORD n = static_cast<DWORD>(d->clients.size());
    if (n == 0) {
        // The arrays are reference pointers on the wire: never NULL, even
        // when they carry nothing.
        d->clients.resize(1);
        d->values.resize(1);
        VariantInit(&d->values[0]);
        d->qualities.resize(1);
        d->times.resize(1);
        d->errors.resize(1);
    }
    for (CConnectionPoint::Connection& c : d->sinks) {
        auto* sink = static_cast<IOPCDataCallback*>(c.sink);
        HRESULT hr = S_OK;
        switch (d->kind) {
        case CCallbackDelivery::kDataChange:
            hr = sink->OnDataChange(d->transid, d->hGroup, hrMasterQuality, hrMasterError, n, d->clients.data(),
                                    d->values.data(), d->qualities.data(), d->times.data(), d->errors.data());
            break;
        case CCallbackDelivery::kReadComplete:
            hr = sink->OnReadComplete(d->transid, d->hGroup, hrMasterQuality, hrMasterError, n, d->clients.data(),
                                      d->values.data(), d->qualities.data(), d->times.data(), d->errors.data());
            break;
        case CCallbackDelivery::kWriteComplete:
            hr = sink->OnWriteComplete(d->transid, d->hGroup, hrMasterError, n, d->clients.data(), d->errors.data());
            break;
        case CCallbackDelivery::kCancelComplete:
            hr = sink->OnCancelComplete(d->transid, d->hGroup);
            break;
        }
        if (g->m_cpData.DropIfClientGone(c.cookie, hr))
            DebugTrace(L"OPCGroup (%ld) dropped a callback whose client is gone: 0x%08lX\n",
                       static_cast<long>(g->m_hServer), static_cast<unsigned long>(hr));
    }
}
