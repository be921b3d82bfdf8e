// The server's IOPCItemIO: reads with a MaxAge per item and VQT writes by
// item ID, without a group.
#include "opc/OPCSrvr.h"

#include "common/ComUtil.h"
#include "opc/ItemFacts.h"
#include "sim/SimIO.h"
#include "sim/SimItems.h"

STDMETHODIMP COPCServer::Read(DWORD dwCount, LPCWSTR* pszItemIDs, DWORD* pdwMaxAge, VARIANT** ppvValues,
                              WORD** ppwQualities, FILETIME** ppftTimeStamps, HRESULT** ppErrors)
{
    if (!IsWritableOut(ppvValues) || !IsWritableOut(ppwQualities) || !IsWritableOut(ppftTimeStamps) ||
        !IsWritableOut(ppErrors))
        return E_INVALIDARG;
    *ppvValues = nullptr;
    *ppwQualities = nullptr;
    *ppftTimeStamps = nullptr;
    *ppErrors = nullptr;
    if (dwCount == 0 || !pszItemIDs || !pdwMaxAge)
        return E_INVALIDARG;
    return ComBoundary([&]() -> HRESULT {
        CTaskMem<VARIANT> values;
        CTaskMem<WORD> qualities;
        CTaskMem<FILETIME> times;
        CTaskMem<HRESULT> errors;
        if (!values.Allocate(dwCount) || !qualities.Allocate(dwCount) || !times.Allocate(dwCount) ||
            !errors.Allocate(dwCount))
            return E_OUTOFMEMORY;
        HRESULT result = S_OK;
        for (DWORD i = 0; i < dwCount; ++i) {
            VariantInit(&values[i]);
            qualities[i] = OPC_QUALITY_BAD;
            times[i] = FILETIME{};
            CItemFacts facts;
            HRESULT hr = facts.Load(pszItemIDs[i], true, pdwMaxAge[i]);
            if (SUCCEEDED(hr) && !(facts.AccessRights() & OPC_READABLE))
                hr = OPC_E_BADRIGHTS;
            if (SUCCEEDED(hr))
                hr = SampleError(facts.Value(), facts.Quality());
            if (SUCCEEDED(hr))
                hr = VariantCopy(&values[i], const_cast<VARIANT*>(&facts.Value()));
            if (SUCCEEDED(hr)) {
                qualities[i] = facts.Quality();
                times[i] = facts.TimeStamp();
            }
            errors[i] = hr;
            if (hr != S_OK)
                result = S_FALSE;
        }
        *ppvValues = values.Detach();
        *ppwQualities = qualities.Detach();
        *ppftTimeStamps = times.Detach();
        *ppErrors = errors.Detach();
        return result;
    });
}

HRESULT WriteVQTToDevice(DWORD hDevice, const OPCITEMVQT& vqt)
{
    // A write that brings a quality or a time stamp is the device's to take
    // or refuse whole, the value included.
    if (vqt.bQualitySpecified || vqt.bTimeStampSpecified)
        return pGlobalDeviceIO->WriteVQT(hDevice, vqt);
    VARIANT value;
    VariantInit(&value);
    HRESULT hr = VariantCopy(&value, const_cast<VARIANT*>(&vqt.vDataValue));
    if (SUCCEEDED(hr))
        hr = pGlobalDeviceItems->ConvertForWrite(hDevice, &value);
    if (SUCCEEDED(hr)) {
        HRESULT written = S_OK;
        pGlobalDeviceIO->WriteItems(1, &hDevice, &value, &written);
        hr = written;
    }
    VariantClear(&value);
    return hr;
}

STDMETHODIMP COPCServer::WriteVQT(DWORD dwCount, LPCWSTR* pszItemIDs, OPCITEMVQT* pItemVQT, HRESULT** ppErrors)
{
    if (!IsWritableOut(ppErrors))
        return E_INVALIDARG;
    *ppErrors = nullptr;
    if (dwCount == 0 || !pszItemIDs || !pItemVQT)
        return E_INVALIDARG;
    return ComBoundary([&]() -> HRESULT {
        CTaskMem<HRESULT> errors;
        if (!errors.Allocate(dwCount))
            return E_OUTOFMEMORY;
        HRESULT result = S_OK;
        for (DWORD i = 0; i < dwCount; ++i) {
            CItemFacts facts;
            HRESULT hr = facts.Load(pszItemIDs[i], false);
            if (SUCCEEDED(hr))
                hr = WriteVQTToDevice(facts.DeviceHandle(), pItemVQT[i]);
            errors[i] = hr;
            if (hr != S_OK)
                result = S_FALSE;
        }
        *ppErrors = errors.Detach();
        return result;
    });
}
