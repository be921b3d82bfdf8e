// Item properties of the server object: what the item set knows of an item
// (type, rights, engineering units) and a device sample of its value.
#include "opc/OPCSrvr.h"

#include "common/ComUtil.h"
#include "core/Cache.h"
#include "core/DeviceLock.h"
#include "sim/SimItems.h"

#include <memory>
#include <vector>

namespace {

struct CPropertyInfo {
    DWORD id;
    const wchar_t* description;
};

const CPropertyInfo kProperties[] = {
    {1, L"Item Canonical Data Type"}, {2, L"Item Value"},       {3, L"Item Quality"},
    {4, L"Item Timestamp"},           {5, L"Item Access Rights"}, {6, L"Server Scan Rate"},
    {7, L"Item EU Type"},             {8, L"Item EU Info"},     {102, L"High EU"},
    {103, L"Low EU"},
};

// The fastest rate the device samples an item at, in milliseconds.
const float kScanRateMs = 10.0f;

// What one item ID's properties are made of: one device sample and what the
// item set knows. The set exists while this lives (a set nobody uses starts
// from its defaults, as for a new item).
class CItemFacts {
public:
    ~CItemFacts()
    {
        if (m_bHeld)
            pGlobalDeviceItems->RemoveItem(m_hDevice);
        VariantClear(&m_vValue);
    }

    HRESULT Load(LPCWSTR szItemID, bool withSample)
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
        if (withSample && (m_dwRights & OPC_READABLE))
            Sample();
        return S_OK;
    }

    // The properties of this item, in order.
    std::vector<const CPropertyInfo*> Available() const
    {
        std::vector<const CPropertyInfo*> list;
        for (const CPropertyInfo& p : kProperties)
            if (Has(p.id))
                list.push_back(&p);
        return list;
    }

    bool Has(DWORD id) const
    {
        if (id >= 1 && id <= 8)
            return true;
        return (id == 102 || id == 103) && m_dwEUType == OPC_ANALOG && m_pEU;
    }

    VARTYPE TypeOf(DWORD id) const
    {
        switch (id) {
        case 1: case 3: return VT_I2;
        case 2: return m_vtCanonical;
        case 4: return VT_DATE;
        case 5: case 7: return VT_I4;
        case 6: return VT_R4;
        case 8: return m_dwEUType == OPC_ANALOG ? VT_ARRAY | VT_R8
                       : m_dwEUType == OPC_ENUMERATED ? VT_ARRAY | VT_BSTR : VT_EMPTY;
        default: return VT_R8;
        }
    }

    // The value of property id into *v (initialised by the caller).
    HRESULT ValueOf(DWORD id, VARIANT* v) const
    {
        if (!Has(id))
            return OPC_E_INVALID_PID;
        switch (id) {
        case 1: v->vt = VT_I2; v->iVal = static_cast<SHORT>(m_vtCanonical); return S_OK;
        case 2:
            if (!(m_dwRights & OPC_READABLE))
                return OPC_E_BADRIGHTS;
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
        default: {  // 102, 103: the analog range
            auto* analog = static_cast<COPCAnalogEngineeringUnits*>(m_pEU.get());
            v->vt = VT_R8;
            v->dblVal = id == 102 ? analog->m_dHigh : analog->m_dLow;
            return S_OK;
        }
        }
    }

private:
    // A device read of the one item, as a synchronous device read does it.
    void Sample()
    {
        CDeviceLockHold lock(g_cache.m_hMutex);
        g_cache.AddRefEntry(m_hDevice);
        g_cache.UpdateFromDevice(DeviceHandleSet{m_hDevice});
        if (CCacheEntry* entry = g_cache.FindEntry(m_hDevice)) {
            CopyStoredVariant(&m_vValue, &entry->vValue);
            m_wQuality = entry->wQuality;
            m_ftTime = entry->ftTimeStamp;
        }
        g_cache.ReleaseEntry(m_hDevice);
    }

    DWORD m_hDevice = 0;
    bool m_bHeld = false;
    VARTYPE m_vtCanonical = VT_EMPTY;
    DWORD m_dwRights = 0;
    DWORD m_dwEUType = OPC_NOENUM;
    std::unique_ptr<COPCEngineeringUnits> m_pEU;
    VARIANT m_vValue{};  // VT_EMPTY
    WORD m_wQuality = 0;
    FILETIME m_ftTime{};
};

}  // namespace

STDMETHODIMP COPCServer::QueryAvailableProperties(LPWSTR szItemID, DWORD* pdwCount, DWORD** ppPropertyIDs,
                                                  LPWSTR** ppDescriptions, VARTYPE** ppvtDataTypes)
{
    if (!IsWritableOut(pdwCount) || !IsWritableOut(ppPropertyIDs) || !IsWritableOut(ppDescriptions) ||
        !IsWritableOut(ppvtDataTypes))
        return E_INVALIDARG;
    *pdwCount = 0;
    *ppPropertyIDs = nullptr;
    *ppDescriptions = nullptr;
    *ppvtDataTypes = nullptr;
    return ComBoundary([&]() -> HRESULT {
        CItemFacts facts;
        HRESULT hr = facts.Load(szItemID, false);
        if (FAILED(hr))
            return hr;
        auto list = facts.Available();
        const DWORD n = static_cast<DWORD>(list.size());
        CTaskMem<DWORD> ids;
        CTaskMem<LPWSTR> texts;
        CTaskMem<VARTYPE> types;
        if (!ids.Allocate(n) || !texts.Allocate(n) || !types.Allocate(n))
            return E_OUTOFMEMORY;
        for (DWORD i = 0; i < n; ++i)
            texts[i] = nullptr;
        for (DWORD i = 0; i < n; ++i) {
            ids[i] = list[i]->id;
            types[i] = facts.TypeOf(list[i]->id);
            texts[i] = TaskMemStrDup(list[i]->description);
            if (!texts[i]) {
                for (DWORD k = 0; k < i; ++k)
                    CoTaskMemFree(texts[k]);
                return E_OUTOFMEMORY;
            }
        }
        *ppPropertyIDs = ids.Detach();
        *ppDescriptions = texts.Detach();
        *ppvtDataTypes = types.Detach();
        *pdwCount = n;
        return S_OK;
    });
}

namespace {
// The frame of the calls that answer one entry per property ID: the entry
// checks, the two arrays, the item's facts; fill(facts, id, &out) gives one
// entry's result code.
template <class T, class Fill>
HRESULT PerProperty(LPWSTR szItemID, DWORD dwCount, const DWORD* pdwPropertyIDs, T** ppOut, HRESULT** ppErrors,
                    bool withSample, Fill fill)
{
    if (!IsWritableOut(ppOut) || !IsWritableOut(ppErrors))
        return E_INVALIDARG;
    *ppOut = nullptr;
    *ppErrors = nullptr;
    if (dwCount == 0 || !pdwPropertyIDs)
        return E_INVALIDARG;
    return ComBoundary([&]() -> HRESULT {
        CTaskMem<T> out;
        CTaskMem<HRESULT> errors;
        if (!out.Allocate(dwCount) || !errors.Allocate(dwCount))
            return E_OUTOFMEMORY;
        CItemFacts facts;
        HRESULT hr = facts.Load(szItemID, withSample);
        if (FAILED(hr))
            return hr;
        HRESULT result = S_OK;
        for (DWORD i = 0; i < dwCount; ++i) {
            errors[i] = fill(facts, pdwPropertyIDs[i], &out[i]);
            if (FAILED(errors[i]))
                result = S_FALSE;
        }
        *ppOut = out.Detach();
        *ppErrors = errors.Detach();
        return result;
    });
}
}  // namespace

STDMETHODIMP COPCServer::GetItemProperties(LPWSTR szItemID, DWORD dwCount, DWORD* pdwPropertyIDs,
                                           VARIANT** ppvData, HRESULT** ppErrors)
{
    return PerProperty(szItemID, dwCount, pdwPropertyIDs, ppvData, ppErrors, true,
                       [](const CItemFacts& facts, DWORD id, VARIANT* value) {
                           VariantInit(value);
                           HRESULT hr = facts.ValueOf(id, value);
                           if (FAILED(hr))
                               VariantClear(value);
                           return hr;
                       });
}

STDMETHODIMP COPCServer::LookupItemIDs(LPWSTR szItemID, DWORD dwCount, DWORD* pdwPropertyIDs,
                                       LPWSTR** ppszNewItemIDs, HRESULT** ppErrors)
{
    // No property of these items is an item of its own: an unknown property
    // is OPC_E_INVALID_PID, a known one E_FAIL.
    return PerProperty(szItemID, dwCount, pdwPropertyIDs, ppszNewItemIDs, ppErrors, false,
                       [](const CItemFacts& facts, DWORD id, LPWSTR* name) {
                           *name = nullptr;
                           return facts.Has(id) ? E_FAIL : OPC_E_INVALID_PID;
                       });
}
