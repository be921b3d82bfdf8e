#include "opc/ItemFacts.h"

#include "core/Cache.h"
#include "core/DeviceLock.h"
#include "sim/SimItems.h"

namespace {
const CPropertyInfo kProperties[] = {
    {1, L"Item Canonical Data Type"}, {2, L"Item Value"},       {3, L"Item Quality"},
    {4, L"Item Timestamp"},           {5, L"Item Access Rights"}, {6, L"Server Scan Rate"},
    {7, L"Item EU Type"},             {8, L"Item EU Info"},     {101, L"Item Description"},
    {102, L"High EU"},                {103, L"Low EU"},
};

// The fastest rate the device samples an item at, in milliseconds.
const float kScanRateMs = 10.0f;

}  // namespace

CItemFacts::~CItemFacts()
{
    if (m_bHeld)
        pGlobalDeviceItems->RemoveItem(m_hDevice);
    VariantClear(&m_vValue);
}

HRESULT CItemFacts::Load(LPCWSTR szItemID, bool withSample, DWORD maxAge)
{
    if (!szItemID)
        return E_INVALIDARG;
    HRESULT hr = pGlobalDeviceItems->AddItem(szItemID, &m_hDevice);
    if (FAILED(hr))
        return hr;
    m_bHeld = true;
    if (FAILED(hr = pGlobalDeviceItems->GetCanonicalType(m_hDevice, &m_vtCanonical)) ||
        FAILED(hr = pGlobalDeviceItems->GetAccessRights(m_hDevice, &m_dwRights)))
        return hr;
    COPCEngineeringUnits* eu = nullptr;
    hr = pGlobalDeviceItems->GetEngineeringUnits(m_hDevice, &m_dwEUType, &eu);
    m_pEU.reset(eu);
    if (FAILED(hr))
        return hr;
    pGlobalDeviceItems->GetDescription(m_hDevice, &m_strDescription);
    if (withSample && (m_dwRights & OPC_READABLE))
        Sample(maxAge);
    return S_OK;
}

std::vector<const CPropertyInfo*> CItemFacts::Available() const
{
    std::vector<const CPropertyInfo*> list;
    for (const CPropertyInfo& p : kProperties)
        if (Has(p.id))
            list.push_back(&p);
    return list;
}

const wchar_t* CItemFacts::DescriptionOf(DWORD id) const
{
    for (const CPropertyInfo& p : kProperties)
        if (p.id == id)
            return p.description;
    return L"";
}

bool CItemFacts::Has(DWORD id) const
{
    if (id >= 1 && id <= 8)
        return true;
    if (id == 101)
        return !m_strDescription.empty();  // an item set that describes its items
    return (id == 102 || id == 103) && m_dwEUType == OPC_ANALOG && m_pEU;
}

VARTYPE CItemFacts::TypeOf(DWORD id) const
{
    switch (id) {
    case 1: case 3: return VT_I2;
    case 2: return m_vtCanonical;
    case 4: return VT_DATE;
    case 5: case 7: return VT_I4;
    case 6: return VT_R4;
    case 101: return VT_BSTR;
    case 8: return m_dwEUType == OPC_ANALOG ? VT_ARRAY | VT_R8
                   : m_dwEUType == OPC_ENUMERATED ? VT_ARRAY | VT_BSTR : VT_EMPTY;
    default: return VT_R8;
    }
}

HRESULT CItemFacts::ValueOf(DWORD id, VARIANT* v) const
{
    if (!Has(id))
        return OPC_E_INVALID_PID;
    switch (id) {
    case 1: v->vt = VT_I2; v->iVal = static_cast<SHORT>(m_vtCanonical); return S_OK;
    case 2:
        if (!(m_dwRights & OPC_READABLE))
            return OPC_E_BADRIGHTS;
        if (HRESULT failed = SampleError(m_vValue, m_wQuality))
            return failed;
        return VariantCopy(v, const_cast<VARIANT*>(&m_vValue));
    case 3: v->vt = VT_I2; v->iVal = static_cast<SHORT>(m_wQuality); return S_OK;
    case 4: {
        // Days since 30 December 1899, from 100-ns intervals since 1601.
        ULONGLONG t = (static_cast<ULONGLONG>(m_ftTime.dwHighDateTime) << 32) | m_ftTime.dwLowDateTime;
        v->vt = VT_DATE;
        v->date = static_cast<double>(t) / 864000000000.0 - 109205.0;
        return S_OK;
    }
    case 5: v->vt = VT_I4; v->lVal = static_cast<LONG>(m_dwRights); return S_OK;
    case 6: v->vt = VT_R4; v->fltVal = kScanRateMs; return S_OK;
    case 7: v->vt = VT_I4; v->lVal = static_cast<LONG>(m_dwEUType); return S_OK;
    case 8: return m_pEU ? m_pEU->GetEUInfo(v) : S_OK;
    case 101:
        v->vt = VT_BSTR;
        v->bstrVal = SysAllocString(m_strDescription.c_str());
        return v->bstrVal ? S_OK : E_OUTOFMEMORY;
    default: {  // 102, 103: the analog range
        auto* analog = static_cast<COPCAnalogEngineeringUnits*>(m_pEU.get());
        v->vt = VT_R8;
        v->dblVal = id == 102 ? analog->m_dHigh : analog->m_dLow;
        return S_OK;
    }
    }
}


bool YoungEnough(const CCacheEntry& entry, DWORD maxAge)
{
    if (maxAge == kMaxAgeCache)
        return true;
    // An entry the device never sampled holds no value (its time stamp is
    // that of its creation, its quality BAD): it is not a cached value.
    const FILETIME& ts = entry.ftTimeStamp;
    if (maxAge == kMaxAgeDevice || (entry.wQuality & OPC_QUALITY_MASK) != OPC_QUALITY_GOOD)
        return false;
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    const ULONGLONG t = (static_cast<ULONGLONG>(ts.dwHighDateTime) << 32) | ts.dwLowDateTime;
    const ULONGLONG n = (static_cast<ULONGLONG>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
    return n < t || (n - t) / 10000 <= maxAge;
}

// The item's cached value when it is young enough, else a device read of the
// one item, as a synchronous device read does it. An item no group keeps
// sampled has no cached value, whatever the MaxAge: it is read.
void CItemFacts::Sample(DWORD maxAge)
{
    CDeviceLockHold lock(g_cache.m_hMutex);
    g_cache.AddRefEntry(m_hDevice);
    CCacheEntry* entry = g_cache.FindEntry(m_hDevice);
    if (!entry || NeverSampled(*entry) || !YoungEnough(*entry, maxAge)) {
        g_cache.UpdateFromDevice(DeviceHandleSet{m_hDevice});
        entry = g_cache.FindEntry(m_hDevice);
    }
    if (entry) {
        CopyStoredVariant(&m_vValue, &entry->vValue);
        m_wQuality = entry->wQuality;
        m_ftTime = entry->ftTimeStamp;
    }
    g_cache.ReleaseEntry(m_hDevice);
}
