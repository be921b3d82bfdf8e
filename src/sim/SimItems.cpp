#include "sim/SimItems.h"

#include "sim/Generator.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

namespace {
const DWORD kAccessRights[5] = {OPC_READABLE, OPC_READABLE | OPC_WRITEABLE, OPC_READABLE | OPC_WRITEABLE,
                                OPC_READABLE | OPC_WRITEABLE, OPC_READABLE | OPC_WRITEABLE};
const VARTYPE kCanonicalTypes[5] = {VT_R8, VT_UI1, VT_R8, VT_R8, VT_BOOL};
const wchar_t* const kFunctionNames[4] = {L"Sine", L"Ramp", L"Noise", L"Counter"};

CSimItems g_simItems;
}  // namespace

IDeviceItems* pGlobalDeviceItems = &g_simItems;
IDeviceItems* SignalSetItems() { return &g_simItems; }

HRESULT CSimItems::ParseItemID(const wchar_t* itemID, int* pSet, DWORD* pKind)
{
    if (!itemID)
        itemID = L"";
    size_t length = wcslen(itemID);
    std::unique_ptr<wchar_t[]> copy(new (std::nothrow) wchar_t[length + 1]);
    if (!copy)
        return E_OUTOFMEMORY;
    for (size_t i = 0; i <= length; ++i) {
        wchar_t c = itemID[i];
        copy[i] = (c >= L'A' && c <= L'Z') ? static_cast<wchar_t>(c - L'A' + L'a') : c;
    }
    std::unique_ptr<wchar_t[]> name(new (std::nothrow) wchar_t[length + 1]);
    if (!name)
        return E_OUTOFMEMORY;
    name[0] = L'\0';
    int set = 0;
    if (swscanf(copy.get(), L"set%d.%ls", &set, name.get()) < 2)
        return OPC_E_UNKNOWNITEMID;
    DWORD kind;
    if (wcsncmp(name.get(), L"item", 4) == 0)
        kind = kKindValue;
    else if (wcscmp(name.get(), L"fct") == 0)
        kind = kKindFct;
    else if (wcscmp(name.get(), L"on") == 0)
        kind = kKindOn;
    else if (wcscmp(name.get(), L"period") == 0)
        kind = kKindPeriod;
    else if (wcscmp(name.get(), L"t0") == 0)
        kind = kKindT0;
    else
        return OPC_E_UNKNOWNITEMID;
    *pSet = set;
    *pKind = kind;
    return S_OK;
}

HRESULT CSimItems::GetAccessRights(DWORD hDevice, DWORD* pRights)
{
    DWORD kind = DeviceHandleKind(hDevice);
    if (DeviceKindValid(kind))
        *pRights = kAccessRights[kind];
    return S_OK;
}

namespace {
// Parses an item ID and answers from a by-kind table; the output is untouched
// on a parse failure.
template <class T>
HRESULT LookupByID(const std::wstring& itemID, const T (&table)[5], T* out)
{
    int set;
    DWORD kind;
    HRESULT hr = CSimItems::ParseItemID(itemID.c_str(), &set, &kind);
    if (SUCCEEDED(hr))
        *out = table[kind];
    return hr;
}
}  // namespace

HRESULT CSimItems::GetAccessRightsByID(std::wstring itemID, DWORD* pRights)
{
    return LookupByID(itemID, kAccessRights, pRights);
}

HRESULT CSimItems::GetCanonicalType(DWORD hDevice, VARTYPE* pType)
{
    DWORD kind = DeviceHandleKind(hDevice);
    if (DeviceKindValid(kind))
        *pType = kCanonicalTypes[kind];
    return S_OK;
}

HRESULT CSimItems::GetCanonicalTypeByID(std::wstring itemID, VARTYPE* pType)
{
    return LookupByID(itemID, kCanonicalTypes, pType);
}

HRESULT CSimItems::GetEngineeringUnits(DWORD hDevice, DWORD* pEUType, COPCEngineeringUnits** ppEU)
{
    *ppEU = nullptr;
    DWORD kind = DeviceHandleKind(hDevice);
    if (!DeviceKindValid(kind)) {
        *pEUType = OPC_NOENUM;
        return S_FALSE;
    }
    switch (kind) {
    case kKindValue: {
        double amplitude;
        {
            CDeviceLockHold lock(g_generatorBank.m_hMutex);
            amplitude = g_generatorBank.GetAmplitude(DeviceSetNumber(hDevice));
        }
        double m = fabs(static_cast<double>(static_cast<long long>(amplitude)));
        *ppEU = new (std::nothrow) COPCAnalogEngineeringUnits(-m, m);
        *pEUType = OPC_ANALOG;
        break;
    }
    case kKindFct: {
        auto* eu = new (std::nothrow) COPCEnumeratedEngineeringUnits(4);
        if (eu) {
            for (DWORD i = 0; i < 4; ++i)
                eu->SetString(i, kFunctionNames[i]);
        }
        *ppEU = eu;
        *pEUType = OPC_ENUMERATED;
        break;
    }
    case kKindOn: {
        auto* eu = new (std::nothrow) COPCEnumeratedEngineeringUnits(2);
        if (eu) {
            eu->SetString(0, L"ON");
            eu->SetString(1, L"OFF");
        }
        *ppEU = eu;
        *pEUType = OPC_ENUMERATED;
        break;
    }
    default:  // period, t0: the positive finite doubles
        *ppEU = new (std::nothrow) COPCAnalogEngineeringUnits(2.2250738585072014e-308, 1.7976931348623157e+308);
        *pEUType = OPC_ANALOG;
        break;
    }
    return S_OK;
}

HRESULT CSimItems::ValidateItem(OPCITEMDEF itemDef)
{
    int set;
    DWORD kind;
    HRESULT hr = ParseItemID(itemDef.szItemID, &set, &kind);
    if (FAILED(hr))
        return hr;
    VARIANT probe;
    VariantInit(&probe);
    probe.vt = VT_R8;
    probe.dblVal = 0.0;
    VARIANT converted;
    VariantInit(&converted);
    hr = VariantChangeType(&converted, &probe, 0, itemDef.vtRequestedDataType);
    VariantClear(&converted);
    return hr;
}

HRESULT CSimItems::AddItem(std::wstring itemID, DWORD* phDevice)
{
    int set;
    DWORD kind;
    HRESULT hr = ParseItemID(itemID.c_str(), &set, &kind);
    if (FAILED(hr))
        return hr;
    if (static_cast<DWORD>(set) > 0xFFFFFF)
        return OPC_E_RANGE;
    {
        CDeviceLockHold lock(g_generatorBank.m_hMutex);
        hr = g_generatorBank.AddRef(set);
    }
    if (FAILED(hr))
        return hr;
    *phDevice = static_cast<DWORD>(set) | (kind << 24);
    return S_OK;
}

HRESULT CSimItems::RemoveItem(DWORD hDevice)
{
    CDeviceLockHold lock(g_generatorBank.m_hMutex);
    return g_generatorBank.Release(DeviceSetNumber(hDevice));
}

HRESULT CSimItems::Initialize() { return S_OK; }
