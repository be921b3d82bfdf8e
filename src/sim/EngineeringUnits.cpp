#include "sim/EngineeringUnits.h"

#include "common/Trace.h"

HRESULT COPCAnalogEngineeringUnits::GetEUInfo(VARIANT* pEUInfo)
{
    VariantInit(pEUInfo);
    SAFEARRAY* psaEUInfo = SafeArrayCreateVector(VT_R8, 0, 2);
    if (!psaEUInfo)
        return E_OUTOFMEMORY;
    VANTREL_ASSERT(sizeof(double) == SafeArrayGetElemsize(psaEUInfo));
    double* data = nullptr;
    HRESULT hr = SafeArrayAccessData(psaEUInfo, reinterpret_cast<void**>(&data));
    if (FAILED(hr)) {
        SafeArrayDestroy(psaEUInfo);
        return hr;
    }
    data[0] = m_dLow;
    data[1] = m_dHigh;
    pEUInfo->vt = VT_ARRAY | VT_R8;
    pEUInfo->parray = psaEUInfo;
    return SafeArrayUnaccessData(psaEUInfo);
}

COPCEnumeratedEngineeringUnits::COPCEnumeratedEngineeringUnits(DWORD nStrings)
    : COPCEngineeringUnits(OPC_ENUMERATED), m_nStrings(nStrings)
{
    VariantInit(&m_vEUInfo);
}

COPCEnumeratedEngineeringUnits::~COPCEnumeratedEngineeringUnits() { VariantClear(&m_vEUInfo); }

HRESULT COPCEnumeratedEngineeringUnits::GetEUInfo(VARIANT* pEUInfo)
{
    HRESULT hr = VariantClear(pEUInfo);
    if (FAILED(hr))
        return hr;
    return VariantCopy(pEUInfo, &m_vEUInfo);
}

HRESULT COPCEnumeratedEngineeringUnits::SetString(DWORD index, LPCWSTR text)
{
    if (index >= m_nStrings)
        return E_INVALIDARG;
    if (m_vEUInfo.vt == VT_EMPTY) {
        SAFEARRAY* psaEUInfo = SafeArrayCreateVector(VT_BSTR, 0, m_nStrings);
        if (!psaEUInfo)
            return E_OUTOFMEMORY;
        VANTREL_ASSERT(sizeof(BSTR) == SafeArrayGetElemsize(psaEUInfo));
        m_vEUInfo.vt = VT_BSTR | VT_ARRAY;
        m_vEUInfo.parray = psaEUInfo;  // created zero-filled: every element null
    }
    VANTREL_ASSERT((VT_BSTR | VT_ARRAY) == m_vEUInfo.vt);
    BSTR* data = nullptr;
    HRESULT hr = SafeArrayAccessData(m_vEUInfo.parray, reinterpret_cast<void**>(&data));
    if (FAILED(hr)) {
        VariantClear(&m_vEUInfo);
        return hr;
    }
    SysFreeString(data[index]);
    data[index] = SysAllocString(text);
    HRESULT result = SafeArrayUnaccessData(m_vEUInfo.parray);
    if (!data[index] && text && *text)
        result = E_OUTOFMEMORY;
    return result;
}
