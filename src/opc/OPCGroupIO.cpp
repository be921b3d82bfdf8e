// The group's synchronous reads and writes, and the item reads and writes
// that the refreshes and asynchronous transactions share.
#include "common/ComUtil.h"
#include "common/Trace.h"
#include "core/Cache.h"
#include "opc/ItemFacts.h"
#include "opc/OPCGroup.h"
#include "opc/OPCItem.h"
#include "sim/SimIO.h"
#include "sim/SimItems.h"

#include <algorithm>
#include <vector>

HRESULT COPCGroup::ReadItems(DWORD dwSource, DWORD dwCount, const OPCHANDLE* phServer, OPCHANDLE* phClient,
                             VARIANT* pValues, WORD* pQualities, FILETIME* pTimeStamps, HRESULT* pErrors,
                             const DWORD* pMaxAge)
{
    CCsLock lock(m_cs);
    HRESULT result = S_OK;
    std::vector<COPCItem*> items(dwCount, nullptr);
    for (DWORD i = 0; i < dwCount; ++i) {
        auto it = m_items.find(phServer[i]);
        VariantInit(&pValues[i]);
        if (it == m_items.end()) {
            pErrors[i] = OPC_E_INVALIDHANDLE;
            phClient[i] = 0;
            pQualities[i] = OPC_QUALITY_BAD;
            pTimeStamps[i] = FILETIME{};
            result = S_FALSE;
        } else if (!it->second->IsReadable()) {
            pErrors[i] = OPC_E_BADRIGHTS;
            phClient[i] = it->second->GetClientHandle();
            pQualities[i] = OPC_QUALITY_BAD;
            pTimeStamps[i] = FILETIME{};
            result = S_FALSE;
        } else {
            items[i] = it->second;
            pErrors[i] = S_OK;
        }
    }
    if (dwSource == OPC_DS_DEVICE || pMaxAge) {
        DeviceHandleSet handles;
        CDeviceLockHold cacheLock(g_cache.m_hMutex);
        for (DWORD i = 0; i < dwCount; ++i) {
            if (!items[i])
                continue;
            if (pMaxAge) {
                CCacheEntry* entry = g_cache.FindEntry(items[i]->GetDeviceHandle());
                if (entry && YoungEnough(*entry, pMaxAge[i]))
                    continue;
            }
            handles.push_back(items[i]->GetDeviceHandle());
        }
        std::sort(handles.begin(), handles.end());
        handles.erase(std::unique(handles.begin(), handles.end()), handles.end());
        if (!handles.empty() || !pMaxAge)
            g_cache.UpdateFromDevice(handles);
    }
    for (DWORD i = 0; i < dwCount; ++i) {
        COPCItem* item = items[i];
        if (!item)
            continue;
        {
            CDeviceLockHold cacheLock(g_cache.m_hMutex);
            CCacheEntry* entry = g_cache.FindEntry(item->GetDeviceHandle());
            VANTREL_ASSERT(entry != nullptr);
            if (entry) {
                pQualities[i] = entry->wQuality;
                pTimeStamps[i] = entry->ftTimeStamp;
                pErrors[i] = SampleError(entry->vValue, entry->wQuality);
                if (pErrors[i] == S_OK)
                    CopyStoredVariant(&pValues[i], &entry->vValue);
                else
                    result = S_FALSE;
            } else {
                pQualities[i] = OPC_QUALITY_BAD;
                pTimeStamps[i] = FILETIME{};
            }
        }
        phClient[i] = item->GetClientHandle();
    }
    return result;
}

void COPCGroup::ApplyRequestedTypes(DWORD dwCount, const OPCHANDLE* phServer, VARIANT* pValues, WORD* pQualities,
                                    HRESULT* pErrors)
{
    CCsLock lock(m_cs);
    for (DWORD i = 0; i < dwCount; ++i) {
        auto it = m_items.find(phServer[i]);
        if (it == m_items.end() || pErrors[i] != S_OK)
            continue;
        VARIANT& v = pValues[i];
        const VARTYPE requested = it->second->m_vtRequested;
        if (requested == VT_EMPTY || v.vt == requested)
            continue;
        HRESULT hr = pGlobalDeviceItems->ConvertForRead(it->second->GetDeviceHandle(), requested, &v);
        if (FAILED(hr)) {
            VariantClear(&v);
            pErrors[i] = hr;
            pQualities[i] = OPC_QUALITY_BAD;
        }
    }
}

STDMETHODIMP COPCGroup::Read(OPCDATASOURCE dwSource, DWORD dwCount, OPCHANDLE* phServer, OPCITEMSTATE** ppItemValues,
                             HRESULT** ppErrors)
{
    CCsLock lock(m_cs);
    if (m_bRemoved)
        return E_FAIL;
    if (!IsWritableOut(ppItemValues) || !IsWritableOut(ppErrors))
        return E_INVALIDARG;
    *ppItemValues = nullptr;
    *ppErrors = nullptr;
    if (dwSource != OPC_DS_CACHE && dwSource != OPC_DS_DEVICE)
        return E_INVALIDARG;
    return ComBoundary([&]() -> HRESULT {
        CTaskMem<OPCITEMSTATE> states;
        CTaskMem<HRESULT> errors;
        if (!states.Allocate(dwCount) || !errors.Allocate(dwCount))
            return E_OUTOFMEMORY;
        std::vector<OPCHANDLE> clients(dwCount);
        std::vector<VARIANT> values(dwCount);
        std::vector<WORD> qualities(dwCount);
        std::vector<FILETIME> times(dwCount);
        HRESULT hr = ReadItems(dwSource, dwCount, phServer, clients.data(), values.data(), qualities.data(),
                               times.data(), errors.get());
        for (DWORD i = 0; i < dwCount; ++i) {
            OPCITEMSTATE& s = states[i];
            s.hClient = clients[i];
            s.ftTimeStamp = times[i];
            s.wQuality = qualities[i];
            s.wReserved = 0;
            s.vDataValue = values[i];  // moved, not copied
        }
        *ppItemValues = states.Detach();
        *ppErrors = errors.Detach();
        return hr;
    });
}

HRESULT COPCGroup::WriteItems(DWORD dwCount, const OPCHANDLE* phServer, VARIANT* pValues, OPCHANDLE* phClient,
                              HRESULT* pErrors)
{
    CCsLock lock(m_cs);
    HRESULT result = S_OK;
    std::vector<DWORD> devices(dwCount, 0);
    std::vector<DWORD> writeIndex;
    writeIndex.reserve(dwCount);
    for (DWORD i = 0; i < dwCount; ++i) {
        auto it = m_items.find(phServer[i]);
        if (it == m_items.end()) {
            pErrors[i] = OPC_E_INVALIDHANDLE;
            if (phClient)
                phClient[i] = 0;
        } else {
            COPCItem* item = it->second;
            if (phClient)
                phClient[i] = item->GetClientHandle();
            devices[i] = item->GetDeviceHandle();
            pErrors[i] = pGlobalDeviceItems->ConvertForWrite(devices[i], &pValues[i]);
        }
        if (pErrors[i] != S_OK)
            result = S_FALSE;
        else
            writeIndex.push_back(i);
    }
    if (!writeIndex.empty()) {
        const DWORD n = static_cast<DWORD>(writeIndex.size());
        std::vector<DWORD> handles(n);
        std::vector<VARIANT> values(n);
        std::vector<HRESULT> errors(n);
        for (DWORD k = 0; k < n; ++k) {
            handles[k] = devices[writeIndex[k]];
            values[k] = pValues[writeIndex[k]];  // shallow: the device only reads
        }
        pGlobalDeviceIO->WriteItems(n, handles.data(), values.data(), errors.data());
        for (DWORD k = 0; k < n; ++k) {
            pErrors[writeIndex[k]] = errors[k];
            if (FAILED(errors[k]))
                result = S_FALSE;
        }
    }
    return result;
}

STDMETHODIMP COPCGroup::Write(DWORD dwCount, OPCHANDLE* phServer, VARIANT* pItemValues, HRESULT** ppErrors)
{
    CCsLock lock(m_cs);
    if (m_bRemoved)
        return E_FAIL;
    if (!IsWritableOut(ppErrors))
        return E_INVALIDARG;
    *ppErrors = nullptr;
    return ComBoundary([&]() -> HRESULT {
        CTaskMem<HRESULT> errors;
        if (!errors.Allocate(dwCount))
            return E_OUTOFMEMORY;
        // The conversion works in place: on copies, the client's array is [in].
        std::vector<VARIANT> values(dwCount);
        for (DWORD i = 0; i < dwCount; ++i) {
            VariantInit(&values[i]);
            if (FAILED(VariantCopy(&values[i], &pItemValues[i]))) {
                values[i].vt = VT_ERROR;
                values[i].scode = DISP_E_TYPEMISMATCH;
            }
        }
        HRESULT hr = WriteItems(dwCount, phServer, values.data(), nullptr, errors.get());
        for (auto& v : values)
            VariantClear(&v);
        *ppErrors = errors.Detach();
        return hr;
    });
}

HRESULT COPCGroup::ExecuteRead(DWORD dwConnection, DWORD dwSource, DWORD dwCount, const OPCHANDLE* phServer,
                               DWORD dwTransactionID)
{
    CCsLock lock(m_cs);
    std::vector<OPCHANDLE> clients(dwCount);
    std::vector<VARIANT> values(dwCount);
    std::vector<WORD> qualities(dwCount);
    std::vector<FILETIME> times(dwCount);
    std::vector<HRESULT> errors(dwCount);
    ReadItems(dwSource, dwCount, phServer, clients.data(), values.data(), qualities.data(), times.data(),
              errors.data());
    HRESULT hr = SendReadComplete(dwConnection, dwTransactionID, dwCount, clients.data(), values.data(),
                                  qualities.data(), times.data());
    for (auto& v : values)
        VariantClear(&v);
    return hr;
}

HRESULT COPCGroup::ExecuteWrite(DWORD dwConnection, DWORD dwCount, const OPCHANDLE* phServer, VARIANT* pValues,
                                DWORD dwTransactionID)
{
    CCsLock lock(m_cs);
    std::vector<OPCHANDLE> clients(dwCount);
    std::vector<HRESULT> errors(dwCount);
    WriteItems(dwCount, phServer, pValues, clients.data(), errors.data());
    return SendWriteComplete(dwConnection, dwTransactionID, dwCount, clients.data(), errors.data());
}
