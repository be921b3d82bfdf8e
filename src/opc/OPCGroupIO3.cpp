// The group's DA 3.0 I/O: IOPCSyncIO2 (ReadMaxAge, WriteVQT) and the
// IOPCAsyncIO3 additions, on the one asynchronous queue and the callback.
#include "common/ComUtil.h"
#include "opc/ItemFacts.h"
#include "opc/OPCGroup.h"
#include "opc/OPCItem.h"
#include "sim/SimIO.h"

#include <vector>

namespace {
bool BringsQualityOrTime(const OPCITEMVQT& vqt) { return vqt.bQualitySpecified || vqt.bTimeStampSpecified; }
}  // namespace

STDMETHODIMP COPCGroup::ReadMaxAge(DWORD dwCount, OPCHANDLE* phServer, DWORD* pdwMaxAge, VARIANT** ppvValues,
                                   WORD** ppwQualities, FILETIME** ppftTimeStamps, HRESULT** ppErrors)
{
    CCsLock lock(m_cs);
    if (m_bRemoved)
        return E_FAIL;
    if (!IsWritableOut(ppvValues) || !IsWritableOut(ppwQualities) || !IsWritableOut(ppftTimeStamps) ||
        !IsWritableOut(ppErrors))
        return E_INVALIDARG;
    *ppvValues = nullptr;
    *ppwQualities = nullptr;
    *ppftTimeStamps = nullptr;
    *ppErrors = nullptr;
    if (dwCount == 0 || !phServer || !pdwMaxAge)
        return E_INVALIDARG;
    return ComBoundary([&]() -> HRESULT {
        CTaskMem<VARIANT> values;
        CTaskMem<WORD> qualities;
        CTaskMem<FILETIME> times;
        CTaskMem<HRESULT> errors;
        if (!values.Allocate(dwCount) || !qualities.Allocate(dwCount) || !times.Allocate(dwCount) ||
            !errors.Allocate(dwCount))
            return E_OUTOFMEMORY;
        std::vector<OPCHANDLE> clients(dwCount);
        ReadItems(OPC_DS_CACHE, dwCount, phServer, clients.data(), values.get(), qualities.get(), times.get(),
                  errors.get(), pdwMaxAge);
        ApplyRequestedTypes(dwCount, phServer, values.get(), qualities.get(), errors.get());
        HRESULT result = S_OK;
        for (DWORD i = 0; i < dwCount; ++i)
            if (errors[i] != S_OK)
                result = S_FALSE;
        *ppvValues = values.Detach();
        *ppwQualities = qualities.Detach();
        *ppftTimeStamps = times.Detach();
        *ppErrors = errors.Detach();
        return result;
    });
}

STDMETHODIMP COPCGroup::WriteVQT(DWORD dwCount, OPCHANDLE* phServer, OPCITEMVQT* pItemVQT, HRESULT** ppErrors)
{
    CCsLock lock(m_cs);
    if (m_bRemoved)
        return E_FAIL;
    if (!IsWritableOut(ppErrors))
        return E_INVALIDARG;
    *ppErrors = nullptr;
    if (dwCount == 0 || !phServer || !pItemVQT)
        return E_INVALIDARG;
    return ComBoundary([&]() -> HRESULT {
        CTaskMem<HRESULT> errors;
        if (!errors.Allocate(dwCount))
            return E_OUTOFMEMORY;
        const HRESULT result = WriteVQTItems(dwCount, phServer, pItemVQT, nullptr, errors.get());
        *ppErrors = errors.Detach();
        return result;
    });
}

HRESULT COPCGroup::WriteVQTItems(DWORD dwCount, const OPCHANDLE* phServer, const OPCITEMVQT* pItemVQT,
                                 OPCHANDLE* phClient, HRESULT* pErrors)
{
    CCsLock lock(m_cs);
    // The values written together, on copies (WriteItems converts in place).
    std::vector<OPCHANDLE> handles;
    std::vector<VARIANT> values;
    std::vector<DWORD> index;
    HRESULT result = S_OK;
    for (DWORD i = 0; i < dwCount; ++i) {
        // With a quality or a time stamp, the device takes or refuses the
        // whole write itself.
        if (BringsQualityOrTime(pItemVQT[i])) {
            auto it = m_items.find(phServer[i]);
            if (phClient)
                phClient[i] = it == m_items.end() ? 0 : it->second->GetClientHandle();
            pErrors[i] = it == m_items.end() ? OPC_E_INVALIDHANDLE
                                             : WriteVQTToDevice(it->second->GetDeviceHandle(), pItemVQT[i]);
            if (pErrors[i] != S_OK)
                result = S_FALSE;
            continue;
        }
        handles.push_back(phServer[i]);
        values.emplace_back();
        VariantInit(&values.back());
        if (FAILED(VariantCopy(&values.back(), const_cast<VARIANT*>(&pItemVQT[i].vDataValue)))) {
            values.back().vt = VT_ERROR;
            values.back().scode = DISP_E_TYPEMISMATCH;
        }
        index.push_back(i);
    }
    if (!handles.empty()) {
        std::vector<HRESULT> written(handles.size());
        std::vector<OPCHANDLE> clients(handles.size());
        WriteItems(static_cast<DWORD>(handles.size()), handles.data(), values.data(), clients.data(), written.data());
        for (size_t k = 0; k < handles.size(); ++k) {
            pErrors[index[k]] = written[k];
            if (phClient)
                phClient[index[k]] = clients[k];
            if (written[k] != S_OK)
                result = S_FALSE;
        }
    }
    for (auto& v : values)
        VariantClear(&v);
    return result;
}

STDMETHODIMP COPCGroup::ReadMaxAge(DWORD dwCount, OPCHANDLE* phServer, DWORD* pdwMaxAge, DWORD dwTransactionID,
                                   DWORD* pdwCancelID, HRESULT** ppErrors)
{
    CCsLock lock(m_cs);
    CAsyncIOMgr* mgr = nullptr;
    HRESULT hr = Async2Entry(pdwCancelID, true, ppErrors, &mgr);
    if (hr != S_OK)
        return hr;
    if (dwCount == 0 || !phServer || !pdwMaxAge)
        return E_INVALIDARG;
    return QueueCallbackItems(mgr, CCallbackTransaction::kRead, dwCount, phServer, dwTransactionID, pdwCancelID,
                              ppErrors, [&](DWORD i, DWORD* maxAge, const VARIANT**, const OPCITEMVQT**) {
                                  *maxAge = pdwMaxAge[i];
                                  return S_OK;
                              });
}

STDMETHODIMP COPCGroup::WriteVQT(DWORD dwCount, OPCHANDLE* phServer, OPCITEMVQT* pItemVQT, DWORD dwTransactionID,
                                 DWORD* pdwCancelID, HRESULT** ppErrors)
{
    CCsLock lock(m_cs);
    CAsyncIOMgr* mgr = nullptr;
    HRESULT hr = Async2Entry(pdwCancelID, true, ppErrors, &mgr);
    if (hr != S_OK)
        return hr;
    if (dwCount == 0 || !phServer || !pItemVQT)
        return E_INVALIDARG;
    // Completed as a 2.0 write. A record with a quality or a time stamp is
    // refused at once, in the errors, for an item whose device makes its
    // own; the device takes the others whole when the write is carried out.
    return QueueCallbackItems(mgr, CCallbackTransaction::kWrite, dwCount, phServer, dwTransactionID, pdwCancelID,
                              ppErrors,
                              [&](DWORD i, DWORD*, const VARIANT** value, const OPCITEMVQT** qualityTime) {
                                  if (BringsQualityOrTime(pItemVQT[i]) &&
                                      !pGlobalDeviceIO->AcceptsQualityTime(m_items[phServer[i]]->GetDeviceHandle()))
                                      return OPC_E_NOTSUPPORTED;
                                  *value = &pItemVQT[i].vDataValue;
                                  *qualityTime = &pItemVQT[i];
                                  return S_OK;
                              });
}

STDMETHODIMP COPCGroup::RefreshMaxAge(DWORD dwMaxAge, DWORD dwTransactionID, DWORD* pdwCancelID)
{
    CCsLock lock(m_cs);
    CAsyncIOMgr* mgr = nullptr;
    HRESULT hr = Async2Entry(pdwCancelID, false, nullptr, &mgr);
    if (hr != S_OK)
        return hr;
    return QueueRefresh(mgr, dwMaxAge, dwTransactionID, pdwCancelID);
}
