#include "opc/OPCItem.h"

#include "common/ComUtil.h"
#include "common/Trace.h"
#include "core/Cache.h"
#include "core/IdMgr.h"
#include "opc/OPCGroup.h"
#include "sim/SimItems.h"

#include <cmath>

COPCItem::COPCItem() { VariantInit(&m_vLastValue); }

COPCItem::~COPCItem()
{
    DebugTrace(L"OPCItem destructing\n");
    DebugTrace(L"OPCItem (%ld) destructing\n", static_cast<long>(m_hServer));
    SetActive(FALSE);
    delete m_pEU;
    m_pEU = nullptr;
    if (m_bDeviceItemHeld) {
        if (m_bCacheReferenced) {
            CDeviceLockHold lock(g_cache.m_hMutex);
            g_cache.ReleaseEntry(m_hDevice);
        }
        pGlobalDeviceItems->RemoveItem(m_hDevice);
    }
    VariantClear(&m_vLastValue);
    // Removing and re-adding an item still gives a new handle: a given-back
    // identifier is reused only after the whole range has been used once.
    if (m_hServer)
        g_idMgr.ReleaseId(m_hServer);
}

HRESULT COPCItem::ValidateItemDef(const OPCITEMDEF* pDef, OPCITEMRESULT* pResult)
{
    memset(pResult, 0, sizeof(*pResult));
    VARTYPE canonical = VT_EMPTY;
    DWORD rights = OPC_READABLE | OPC_WRITEABLE;
    std::wstring id = pDef->szItemID ? pDef->szItemID : L"";
    HRESULT hr = pGlobalDeviceItems->ValidateItem(*pDef);
    if (SUCCEEDED(hr))
        hr = pGlobalDeviceItems->GetCanonicalTypeByID(id, &canonical);
    if (SUCCEEDED(hr))
        hr = pGlobalDeviceItems->GetAccessRightsByID(id, &rights);
    pResult->hServer = 0;
    pResult->vtCanonicalDataType = canonical;
    pResult->dwAccessRights = rights;
    pResult->dwBlobSize = 0;
    pResult->pBlob = nullptr;
    return hr;
}

HRESULT COPCItem::Init(COPCGroup* pGroup, const OPCITEMDEF* pDef, OPCITEMRESULT* pResult)
{
    m_pGroup = pGroup;
    memset(pResult, 0, sizeof(*pResult));
    m_strAccessPath = pDef->szAccessPath ? pDef->szAccessPath : L"";
    m_strItemID = pDef->szItemID ? pDef->szItemID : L"";
    m_bActive = FALSE;
    m_hClient = pDef->hClient;
    m_hServer = g_idMgr.Allocate();
    m_dwAccessRights = OPC_READABLE | OPC_WRITEABLE;
    m_dwBlobSize = 0;
    m_pBlob = nullptr;
    m_vtRequested = pDef->vtRequestedDataType;
    m_vtCanonical = VT_EMPTY;
    m_dwEUType = OPC_NOENUM;
    m_wLastQuality = 0;
    m_ftLastTimeStamp = FILETIME{};

    HRESULT hr = pGlobalDeviceItems->AddItem(m_strItemID, &m_hDevice);
    if (FAILED(hr))
        return hr;
    m_bDeviceItemHeld = TRUE;

    hr = ValidateItemDef(pDef, pResult);
    if (FAILED(hr))
        return hr;
    m_vtCanonical = pResult->vtCanonicalDataType;
    if (m_vtRequested == VT_EMPTY)
        m_vtRequested = m_vtCanonical;

    hr = pGlobalDeviceItems->GetEngineeringUnits(m_hDevice, &m_dwEUType, &m_pEU);
    if (FAILED(hr))
        return hr;
    m_dwAccessRights = pResult->dwAccessRights;
    pResult->hServer = m_hServer;

    if (IsReadable()) {
        CDeviceLockHold lock(g_cache.m_hMutex);
        g_cache.AddRefEntry(m_hDevice);  // throws E_OUTOFMEMORY
        m_bCacheReferenced = TRUE;
        m_pEntry = g_cache.FindEntry(m_hDevice);
    }
    return SetActive(pDef->bActive);
}

HRESULT COPCItem::SetActive(BOOL bActive)
{
    CCsLock lock(m_cs);
    bool active = bActive != FALSE;
    if (active == (m_bActive != FALSE))
        return S_OK;
    if (!active) {
        m_bActive = FALSE;
        m_pGroup->RemoveActiveItem(m_posActive);
        if (m_pGroup->IsActive())
            DeactivateInCache();
    } else {
        m_bActive = TRUE;
        m_posActive = m_pGroup->AddActiveItem(this);
        if (m_pGroup->IsActive())
            ActivateInCache();
    }
    return S_OK;
}

HRESULT COPCItem::ActivateInCache()
{
    CCsLock lock(m_cs);
    if (!m_bActive)
        return S_OK;
    if (!IsReadable())
        return S_OK;
    CDeviceLockHold cacheLock(g_cache.m_hMutex);
    return g_cache.ActivateEntry(m_hDevice);
}

HRESULT COPCItem::DeactivateInCache()
{
    CCsLock lock(m_cs);
    m_wLastQuality = OPC_QUALITY_OUT_OF_SERVICE;
    if (IsReadable()) {
        CDeviceLockHold cacheLock(g_cache.m_hMutex);
        g_cache.DeactivateEntry(m_hDevice);
    }
    return S_OK;
}

HRESULT COPCItem::GetAttributes(OPCITEMATTRIBUTES* pAttributes, AllocFn alloc)
{
    CCsLock lock(m_cs);
    pAttributes->szAccessPath = DupWideString(m_strAccessPath.c_str(), alloc);
    pAttributes->szItemID = DupWideString(m_strItemID.c_str(), alloc);
    pAttributes->bActive = m_bActive;
    pAttributes->hClient = m_hClient;
    pAttributes->hServer = m_hServer;
    pAttributes->dwAccessRights = m_dwAccessRights;
    pAttributes->dwBlobSize = m_dwBlobSize;
    pAttributes->pBlob = nullptr;
    if (m_dwBlobSize != 0) {
        pAttributes->pBlob = static_cast<BYTE*>(alloc(m_dwBlobSize));
        if (pAttributes->pBlob)
            memcpy(pAttributes->pBlob, m_pBlob, m_dwBlobSize);
    }
    pAttributes->vtRequestedDataType = m_vtRequested;
    pAttributes->vtCanonicalDataType = m_vtCanonical;
    pAttributes->dwEUType = static_cast<OPCEUTYPE>(m_dwEUType);
    VariantInit(&pAttributes->vEUInfo);
    if (m_pEU)
        m_pEU->GetEUInfo(&pAttributes->vEUInfo);
    return S_OK;
}

OPCHANDLE COPCItem::GetClientHandle()
{
    CCsLock lock(m_cs);
    return m_hClient;
}

void COPCItem::SetClientHandle(OPCHANDLE hClient)
{
    CCsLock lock(m_cs);
    m_hClient = hClient;
}

void COPCItem::SetRequestedType(VARTYPE vt)
{
    CCsLock lock(m_cs);
    m_vtRequested = vt == VT_EMPTY ? m_vtCanonical : vt;
}

bool COPCItem::ReadCachedSample(VARIANT* pValue, WORD* pQuality, FILETIME* pTimeStamp) const
{
    if (!IsReadable() || !m_pEntry)
        return false;
    CopyStoredVariant(pValue, &m_pEntry->vValue);
    *pQuality = m_pEntry->wQuality;
    *pTimeStamp = m_pEntry->ftTimeStamp;
    return true;
}

HRESULT COPCItem::CheckForUpdate(double dblDeadband, const VARIANT& sample, WORD quality,
                                 const FILETIME& timeStamp, OPCHANDLE* phClient, VARIANT* pValue, BOOL* pChanged)
{
    CCsLock lock(m_cs);
    *phClient = m_hClient;
    *pChanged = FALSE;
    if (!IsReadable())
        return S_OK;

    bool changed;
    bool analogForm = false;
    VARIANT newR8;
    EmptyVariant(&newR8);
    if (quality != m_wLastQuality) {
        changed = true;
    } else if (m_dwEUType == OPC_ANALOG && dblDeadband != 0.0 && m_pEU) {
        CVariant lastR8;
        VariantChangeType(lastR8.ptr(), &m_vLastValue, 0, VT_R8);
        VariantChangeType(&newR8, const_cast<VARIANT*>(&sample), 0, VT_R8);
        auto* eu = static_cast<COPCAnalogEngineeringUnits*>(m_pEU);
        changed = fabs(newR8.dblVal - lastR8.get().dblVal) > dblDeadband * (eu->m_dHigh - eu->m_dLow);
        analogForm = true;
    } else {
        changed = !ValuesEqual(&sample, &m_vLastValue);
    }
    if (!changed) {
        ClearStoredVariant(&newR8);
        return S_OK;
    }

    *pChanged = TRUE;
    CopyStoredVariant(&m_vLastValue, analogForm ? &newR8 : &sample);
    ClearStoredVariant(&newR8);
    m_wLastQuality = quality;
    m_ftLastTimeStamp = timeStamp;
    EmptyVariant(pValue);
    CopyStoredVariant(pValue, &sample);
    if (pValue->vt == VT_ERROR && sample.vt != VT_ERROR) {  // the copy failed
        const HRESULT failed = pValue->scode;
        EmptyVariant(pValue);
        return failed;
    }
    if (m_vtRequested != m_vtCanonical)
        return pGlobalDeviceItems->ConvertForRead(m_hDevice, m_vtRequested, pValue);
    return S_OK;
}
