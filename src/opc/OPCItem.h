// One OPC item of one group.
#pragma once
#include "common/OPCGlob.h"
#include "common/OpcDefs.h"
#include "core/Cache.h"
#include "core/Locks.h"
#include "sim/EngineeringUnits.h"

#include <list>
#include <string>

class COPCGroup;

class COPCItem {
public:
    COPCItem();
    virtual ~COPCItem();
    COPCItem(const COPCItem&) = delete;
    COPCItem& operator=(const COPCItem&) = delete;

    // Checks a definition against the device without creating anything.
    static HRESULT ValidateItemDef(const OPCITEMDEF* pDef, OPCITEMRESULT* pResult);
    // Builds the item from a definition; on failure the caller destroys it.
    HRESULT Init(COPCGroup* pGroup, const OPCITEMDEF* pDef, OPCITEMRESULT* pResult);

    HRESULT SetActive(BOOL bActive);
    HRESULT ActivateInCache();
    HRESULT DeactivateInCache();
    HRESULT GetAttributes(OPCITEMATTRIBUTES* pAttributes, AllocFn alloc);
    OPCHANDLE GetClientHandle();
    void SetClientHandle(OPCHANDLE hClient);
    void SetRequestedType(VARTYPE vt);
    DWORD GetDeviceHandle() const { return m_hDevice; }
    OPCHANDLE GetServerHandle() const { return m_hServer; }
    BOOL IsActive() const { return m_bActive; }
    bool IsReadable() const { return (m_dwAccessRights & OPC_READABLE) != 0; }

    // The cached sample of a readable item, copied out; the caller holds the
    // cache's lock. Returns false for an item that reads nothing.
    bool ReadCachedSample(VARIANT* pValue, WORD* pQuality, FILETIME* pTimeStamp) const;
    // The change check of a data-change update: compares a cached sample
    // (taken with ReadCachedSample) with what was last delivered; when it
    // changed, *pValue gets it in the requested type (a failed conversion is
    // the result, with the value as it stands).
    HRESULT CheckForUpdate(double dblDeadband, const VARIANT& sample, WORD quality, const FILETIME& timeStamp,
                           OPCHANDLE* phClient, VARIANT* pValue, BOOL* pChanged);

    CCriticalSection m_cs;
    COPCGroup* m_pGroup = nullptr;
    std::wstring m_strAccessPath;
    std::wstring m_strItemID;
    BOOL m_bActive = FALSE;
    std::list<COPCItem*>::iterator m_posActive;
    OPCHANDLE m_hClient = 0;
    OPCHANDLE m_hServer = 0;
    DWORD m_dwAccessRights = 0;
    DWORD m_dwBlobSize = 0;
    BYTE* m_pBlob = nullptr;
    VARTYPE m_vtRequested = VT_EMPTY;
    VARTYPE m_vtCanonical = VT_EMPTY;
    DWORD m_dwEUType = OPC_NOENUM;
    COPCEngineeringUnits* m_pEU = nullptr;
    VARIANT m_vLastValue;
    WORD m_wLastQuality = 0;
    FILETIME m_ftLastTimeStamp{};
    // DA 3.0, per item: a percent deadband of its own (analog items) and a
    // sampling rate of its own (0: the group's update rate).
    bool m_bDeadbandSet = false;
    FLOAT m_fDeadband = 0.0f;
    DWORD m_dwSamplingRate = 0;
    LONGLONG m_llNextSample = 0;  // ticks: the change check waits until then
    BOOL m_bDeviceItemHeld = FALSE;
    BOOL m_bCacheReferenced = FALSE;
    DWORD m_hDevice = 0;
    // The cache entry the item holds a reference on (readable items): it
    // lives as long as that reference.
    CCacheEntry* m_pEntry = nullptr;
};
