// The test server's item set and device: the signal sets (sets 1 to 4
// running from the start) and the registers of TestRegisters.h.
#pragma once
#include "sim/SimIO.h"
#include "sim/SimItems.h"
#include "sim/TestRegisters.h"

#include "core/Locks.h"

#include <vector>

class CTestItems : public IDeviceItems {
public:
    HRESULT GetAccessRights(DWORD hDevice, DWORD* pRights) override;
    HRESULT GetAccessRightsByID(std::wstring itemID, DWORD* pRights) override;
    HRESULT GetCanonicalType(DWORD hDevice, VARTYPE* pType) override;
    HRESULT GetCanonicalTypeByID(std::wstring itemID, VARTYPE* pType) override;
    HRESULT GetEngineeringUnits(DWORD hDevice, DWORD* pEUType, COPCEngineeringUnits** ppEU) override;
    HRESULT GetDescription(DWORD hDevice, std::wstring* pText) override;
    HRESULT ConvertForWrite(DWORD hDevice, VARIANT* pValue) override;
    HRESULT ConvertForRead(DWORD hDevice, VARTYPE requested, VARIANT* pValue) override;
    HRESULT ValidateItem(OPCITEMDEF itemDef) override;
    HRESULT AddItem(std::wstring itemID, DWORD* phDevice) override;
    HRESULT RemoveItem(DWORD hDevice) override;
    HRESULT Initialize() override;
};

class CTestIO : public IDeviceIO {
public:
    CTestIO();
    ~CTestIO() override;
    HRESULT UpdateItems(const DeviceHandleSet& hDevices, CCache& cache) override;
    HRESULT UpdatePass(CSamplePass& pass, CCache& cache) override;
    HRESULT WriteItems(DWORD dwCount, const DWORD* phDevices, const VARIANT* pValues, HRESULT* pErrors) override;
    // A write with its quality and time stamp (where given): echo items keep both.
    HRESULT WriteVQT(DWORD hDevice, const OPCITEMVQT& vqt) override;
    bool AcceptsQualityTime(DWORD hDevice) const override;

private:
    struct CRegister {
        VARIANT value;
        WORD quality;
        FILETIME time;
    };
    void Sample(size_t index, const FILETIME& now, VARIANT* value, WORD* quality, FILETIME* time);
    CCriticalSection m_cs;  // a leaf: the registers' values
    std::vector<CRegister> m_registers;
    unsigned int m_seed = 12345;
};

// Switches sets 1 to 4 on (set1 Sine 4 s, set2 Ramp 6 s, set3 Noise, set4
// Counter 2 s) and keeps them for the life of the process.
void StartTestSets();
