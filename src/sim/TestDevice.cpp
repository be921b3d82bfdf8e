#include "sim/TestDevice.h"

#include "common/Trace.h"
#include "sim/Generator.h"

#include <new>

namespace {
CSimItems* Sets() { return static_cast<CSimItems*>(SignalSetItems()); }

const CRegisterDef* RegisterOf(DWORD hDevice)
{
    if (!IsRegisterHandle(hDevice) || RegisterIndex(hDevice) >= TestRegisters().size())
        return nullptr;
    return &TestRegisters()[RegisterIndex(hDevice)];
}

// The quality steps of faults.random_quality, one a second.
const WORD kQualityCycle[] = {0xC0, 0xC1, 0xC2, 0x44, 0x50, 0x53, 0x18, 0x0C, 0x1F};
}  // namespace

HRESULT CTestItems::GetAccessRights(DWORD hDevice, DWORD* pRights)
{
    if (const CRegisterDef* r = RegisterOf(hDevice)) {
        *pRights = r->rights;
        return S_OK;
    }
    return Sets()->GetAccessRights(hDevice, pRights);
}

HRESULT CTestItems::GetAccessRightsByID(std::wstring itemID, DWORD* pRights)
{
    int i = FindRegister(itemID.c_str());
    if (i >= 0) {
        *pRights = TestRegisters()[i].rights;
        return S_OK;
    }
    return Sets()->GetAccessRightsByID(itemID, pRights);
}

HRESULT CTestItems::GetCanonicalType(DWORD hDevice, VARTYPE* pType)
{
    if (const CRegisterDef* r = RegisterOf(hDevice)) {
        *pType = r->vt;
        return S_OK;
    }
    return Sets()->GetCanonicalType(hDevice, pType);
}

HRESULT CTestItems::GetCanonicalTypeByID(std::wstring itemID, VARTYPE* pType)
{
    int i = FindRegister(itemID.c_str());
    if (i >= 0) {
        *pType = TestRegisters()[i].vt;
        return S_OK;
    }
    return Sets()->GetCanonicalTypeByID(itemID, pType);
}

HRESULT CTestItems::GetEngineeringUnits(DWORD hDevice, DWORD* pEUType, COPCEngineeringUnits** ppEU)
{
    if (RegisterOf(hDevice)) {
        *ppEU = nullptr;
        *pEUType = OPC_NOENUM;
        return S_OK;
    }
    return Sets()->GetEngineeringUnits(hDevice, pEUType, ppEU);
}

HRESULT CTestItems::GetDescription(DWORD hDevice, std::wstring* pText)
{
    if (const CRegisterDef* r = RegisterOf(hDevice)) {
        *pText = r->description;
        return S_OK;
    }
    static const wchar_t* const kSetTexts[] = {
        L"The set's signal value: its function of the time since t0, while the set is on",
        L"The set's function: 0 Sine, 1 Ramp, 2 Noise, 3 Counter",
        L"The set's period in milliseconds",
        L"The set's reference time t0 in milliseconds",
        L"The set's switch: the signal runs while it is on"};
    const DWORD kind = DeviceHandleKind(hDevice);
    *pText = kind <= 4 ? kSetTexts[kind] : L"";
    return S_OK;
}

HRESULT CTestItems::ConvertForWrite(DWORD hDevice, VARIANT* pValue)
{
    const CRegisterDef* r = RegisterOf(hDevice);
    if (!r)
        return IDeviceItems::ConvertForWrite(hDevice, pValue);
    VARIANT converted;
    HRESULT hr = ConvertToRegisterType(*pValue, r->vt, &converted);
    if (FAILED(hr))
        return hr;
    VariantClear(pValue);
    *pValue = converted;
    return S_OK;
}

HRESULT CTestItems::ConvertForRead(DWORD hDevice, VARTYPE requested, VARIANT* pValue)
{
    // The conversion AddItems validated the requested type with: arrays
    // element by element.
    if (!RegisterOf(hDevice))
        return IDeviceItems::ConvertForRead(hDevice, requested, pValue);
    VARIANT converted;
    HRESULT hr = ConvertToRegisterType(*pValue, requested, &converted);
    VariantClear(pValue);
    if (SUCCEEDED(hr))
        *pValue = converted;
    return hr;
}

HRESULT CTestItems::ValidateItem(OPCITEMDEF itemDef)
{
    int i = FindRegister(itemDef.szItemID);
    if (i < 0)
        return Sets()->ValidateItem(itemDef);
    // The requested type must be one the canonical type converts to.
    VARIANT initial, converted;
    InitialRegisterValue(TestRegisters()[i], &initial);
    VariantInit(&converted);
    HRESULT hr = S_OK;
    const VARTYPE requested = itemDef.vtRequestedDataType;
    if (requested != VT_EMPTY && requested != TestRegisters()[i].vt)
        hr = ConvertToRegisterType(initial, requested, &converted);
    VariantClear(&converted);
    VariantClear(&initial);
    return FAILED(hr) ? OPC_E_BADTYPE : S_OK;
}

HRESULT CTestItems::AddItem(std::wstring itemID, DWORD* phDevice)
{
    int i = FindRegister(itemID.c_str());
    if (i < 0)
        return Sets()->AddItem(itemID, phDevice);
    *phDevice = RegisterHandle(static_cast<size_t>(i));
    return S_OK;
}

HRESULT CTestItems::RemoveItem(DWORD hDevice)
{
    return IsRegisterHandle(hDevice) ? S_OK : Sets()->RemoveItem(hDevice);
}

HRESULT CTestItems::Initialize() { return Sets()->Initialize(); }

CTestIO::CTestIO()
{
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    for (const CRegisterDef& def : TestRegisters()) {
        CRegister r;
        InitialRegisterValue(def, &r.value);
        r.quality = def.behaviour == RegisterBehaviour::kFixedQuality ? def.quality : OPC_QUALITY_GOOD;
        r.time = now;
        m_registers.push_back(r);
    }
}

CTestIO::~CTestIO()
{
    for (CRegister& r : m_registers)
        VariantClear(&r.value);
}

void CTestIO::Sample(size_t index, const FILETIME& now, VARIANT* value, WORD* quality, FILETIME* time)
{
    const CRegisterDef& def = TestRegisters()[index];
    CRegister& r = m_registers[index];
    VariantInit(value);
    *time = now;
    *quality = r.quality;
    switch (def.behaviour) {
    case RegisterBehaviour::kRandom:
        RandomValue(def.vt, &m_seed, value);
        *quality = OPC_QUALITY_GOOD;
        return;
    case RegisterBehaviour::kReadError:
        value->vt = VT_ERROR;
        value->scode = kFaultError;
        *quality = OPC_QUALITY_BAD;
        return;
    case RegisterBehaviour::kRandomQuality: {
        const ULONGLONG t = (static_cast<ULONGLONG>(now.dwHighDateTime) << 32 | now.dwLowDateTime) / 10000;
        value->vt = VT_R8;
        value->dblVal = static_cast<double>(t % 100000) / 1000.0;
        *quality = kQualityCycle[(t / 1000) % (sizeof(kQualityCycle) / sizeof(kQualityCycle[0]))];
        return;
    }
    case RegisterBehaviour::kQualityValue:
        *quality = m_registers[index + 1].value.uiVal;  // faults.quality follows faults.value
        break;
    case RegisterBehaviour::kEcho:
        *time = r.time;  // the time it was written (with a VQT write, the one written)
        break;
    default:
        break;
    }
    VariantCopy(value, &r.value);
}

HRESULT CTestIO::UpdateItems(const DeviceHandleSet& hDevices, CCache& cache)
{
    DeviceHandleSet sets;
    std::vector<DWORD> registers;
    for (DWORD h : hDevices)
        (IsRegisterHandle(h) ? registers : sets).push_back(h);
    if (!sets.empty())
        SignalSetIO()->UpdateItems(sets, cache);
    if (registers.empty())
        return S_OK;
    CDeviceLockHold cacheLock(cache.m_hMutex);
    CCsLock lock(m_cs);
    // Taken under the cache's lock: passes and device reads store their
    // samples in the order of their time stamps.
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    for (DWORD h : registers) {
        // An entry whose last item went away since the handles were
        // collected has no place for the sample: it is dropped.
        if (RegisterIndex(h) >= m_registers.size() || !cache.FindEntry(h))
            continue;
        VARIANT value;
        WORD quality;
        FILETIME time;
        Sample(RegisterIndex(h), now, &value, &quality, &time);
        cache.SetEntryValue(h, value, time, quality);
        VariantClear(&value);
    }
    return S_OK;
}

HRESULT CTestIO::UpdatePass(CSamplePass& pass, CCache& cache) { return UpdateItems(pass.handles, cache); }

HRESULT CTestIO::WriteItems(DWORD dwCount, const DWORD* phDevices, const VARIANT* pValues, HRESULT* pErrors)
{
    std::vector<DWORD> setHandles;
    std::vector<VARIANT> setValues;
    std::vector<DWORD> setIndex;
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    {
        CCsLock lock(m_cs);
        for (DWORD i = 0; i < dwCount; ++i) {
            const DWORD h = phDevices[i];
            if (!IsRegisterHandle(h)) {
                setHandles.push_back(h);
                setValues.push_back(pValues[i]);
                setIndex.push_back(i);
                continue;
            }
            const CRegisterDef* def = RegisterOf(h);
            if (!def || !(def->rights & OPC_WRITEABLE)) {
                pErrors[i] = OPC_E_BADRIGHTS;
                continue;
            }
            if (def->behaviour == RegisterBehaviour::kWriteError) {
                pErrors[i] = kFaultError;
                continue;
            }
            CRegister& r = m_registers[RegisterIndex(h)];
            pErrors[i] = VariantCopy(&r.value, const_cast<VARIANT*>(&pValues[i]));
            r.time = now;
            if (def->behaviour != RegisterBehaviour::kQualityValue)
                r.quality = OPC_QUALITY_GOOD;
        }
    }
    if (!setHandles.empty()) {
        std::vector<HRESULT> errors(setHandles.size());
        SignalSetIO()->WriteItems(static_cast<DWORD>(setHandles.size()), setHandles.data(), setValues.data(),
                                  errors.data());
        for (size_t k = 0; k < setIndex.size(); ++k)
            pErrors[setIndex[k]] = errors[k];
    }
    return S_OK;
}

bool CTestIO::AcceptsQualityTime(DWORD hDevice) const
{
    const CRegisterDef* def = RegisterOf(hDevice);
    return def && (def->behaviour == RegisterBehaviour::kEcho || def->behaviour == RegisterBehaviour::kQualityValue);
}

HRESULT CTestIO::WriteVQT(DWORD hDevice, const OPCITEMVQT& vqt)
{
    if (!AcceptsQualityTime(hDevice))
        return IDeviceIO::WriteVQT(hDevice, vqt);
    const CRegisterDef* def = RegisterOf(hDevice);
    VARIANT value;
    HRESULT hr = ConvertToRegisterType(vqt.vDataValue, def->vt, &value);
    if (FAILED(hr))
        return hr;
    CCsLock lock(m_cs);
    CRegister& r = m_registers[RegisterIndex(hDevice)];
    VariantClear(&r.value);
    r.value = value;
    GetSystemTimeAsFileTime(&r.time);
    if (vqt.bTimeStampSpecified)
        r.time = vqt.ftTimeStamp;
    if (def->behaviour == RegisterBehaviour::kEcho)
        r.quality = vqt.bQualitySpecified ? vqt.wQuality : OPC_QUALITY_GOOD;
    return S_OK;
}

void StartTestSets()
{
    struct Start {
        int set;
        double fct, period;
    };
    const Start kStarts[] = {{1, 0, 4000}, {2, 1, 6000}, {3, 2, 1000}, {4, 3, 2000}};
    for (const Start& s : kStarts) {
        DWORD h = 0;
        wchar_t id[16];
        swprintf(id, 16, L"set%d.on", s.set);
        if (FAILED(SignalSetItems()->AddItem(id, &h)))  // held for the life of the process
            continue;
        const DWORD set = static_cast<DWORD>(s.set);
        const DWORD handles[3] = {set | (kKindFct << 24), set | (kKindPeriod << 24), set | (kKindOn << 24)};
        VARIANT values[3];
        values[0].vt = VT_UI1;
        values[0].bVal = static_cast<BYTE>(s.fct);
        values[1].vt = VT_R8;
        values[1].dblVal = s.period;
        values[2].vt = VT_BOOL;
        values[2].boolVal = VARIANT_TRUE;
        HRESULT errors[3];
        SignalSetIO()->WriteItems(3, handles, values, errors);
    }
}
