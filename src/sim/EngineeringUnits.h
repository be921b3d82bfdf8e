// Engineering units of an item: an analog range or enumerated texts.
#pragma once
#include "common/OpcDefs.h"

class COPCEngineeringUnits {
public:
    explicit COPCEngineeringUnits(DWORD type) : m_dwType(type) {}
    virtual ~COPCEngineeringUnits() = default;
    virtual HRESULT GetEUInfo(VARIANT* pEUInfo) = 0;

    DWORD m_dwType;
};

class COPCAnalogEngineeringUnits : public COPCEngineeringUnits {
public:
    COPCAnalogEngineeringUnits(double low, double high)
        : COPCEngineeringUnits(OPC_ANALOG), m_dLow(low), m_dHigh(high) {}
    // A fresh VT_ARRAY|VT_R8 of {low, high} each call.
    HRESULT GetEUInfo(VARIANT* pEUInfo) override;

    double m_dLow;
    double m_dHigh;
};

class COPCEnumeratedEngineeringUnits : public COPCEngineeringUnits {
public:
    explicit COPCEnumeratedEngineeringUnits(DWORD nStrings);
    ~COPCEnumeratedEngineeringUnits() override;
    // A copy of the VT_ARRAY|VT_BSTR texts (VT_EMPTY when none was set).
    HRESULT GetEUInfo(VARIANT* pEUInfo) override;
    HRESULT SetString(DWORD index, LPCWSTR text);

    DWORD m_nStrings;
    VARIANT m_vEUInfo;
};
