// The device's item set: item IDs, device handles, types, rights, units.
#pragma once
#include "common/OpcDefs.h"
#include "common/Trace.h"
#include "sim/EngineeringUnits.h"

#include <string>

// Device handle: kind in bits 24 to 31, set number in bits 0 to 23.
enum DeviceItemKind : DWORD { kKindValue = 0, kKindFct = 1, kKindPeriod = 2, kKindT0 = 3, kKindOn = 4 };
inline DWORD DeviceHandleKind(DWORD h) { return h >> 24; }
inline int DeviceSetNumber(DWORD h) { return static_cast<int>(h & 0xFFFFFF); }
// A kind above 4 never comes from AddItem: a broken invariant.
inline bool DeviceKindValid(DWORD kind)
{
    VANTREL_ASSERT(kind <= 4);
    return kind <= 4;
}

class IDeviceItems {
public:
    virtual ~IDeviceItems() = default;
    virtual HRESULT GetAccessRights(DWORD hDevice, DWORD* pRights) = 0;
    virtual HRESULT GetAccessRightsByID(std::wstring itemID, DWORD* pRights) = 0;
    virtual HRESULT GetCanonicalType(DWORD hDevice, VARTYPE* pType) = 0;
    virtual HRESULT GetCanonicalTypeByID(std::wstring itemID, VARTYPE* pType) = 0;
    virtual HRESULT GetEngineeringUnits(DWORD hDevice, DWORD* pEUType, COPCEngineeringUnits** ppEU) = 0;
    virtual HRESULT ValidateItem(OPCITEMDEF itemDef) = 0;
    virtual HRESULT AddItem(std::wstring itemID, DWORD* phDevice) = 0;
    virtual HRESULT RemoveItem(DWORD hDevice) = 0;
    virtual HRESULT Initialize() = 0;
    // A one-line description of what the item does (property 101); S_FALSE
    // and "" when the item set has none.
    virtual HRESULT GetDescription(DWORD /*hDevice*/, std::wstring* pText)
    {
        pText->clear();
        return S_FALSE;
    }
    // Converts a value to be written to the item's canonical type, in place
    // (the platform's conversion; a failure is the item's write error).
    virtual HRESULT ConvertForWrite(DWORD hDevice, VARIANT* pValue)
    {
        VARTYPE canonical = VT_EMPTY;
        GetCanonicalType(hDevice, &canonical);
        return VariantChangeType(pValue, pValue, VARIANT_NOVALUEPROP, canonical);
    }
    // Converts a value read from the item to a client's requested type, in
    // place (the platform's conversion; a failure is the item's read error).
    virtual HRESULT ConvertForRead(DWORD /*hDevice*/, VARTYPE requested, VARIANT* pValue)
    {
        return VariantChangeType(pValue, pValue, 0, requested);
    }
};

class CSimItems : public IDeviceItems {
public:
    HRESULT GetAccessRights(DWORD hDevice, DWORD* pRights) override;
    HRESULT GetAccessRightsByID(std::wstring itemID, DWORD* pRights) override;
    HRESULT GetCanonicalType(DWORD hDevice, VARTYPE* pType) override;
    HRESULT GetCanonicalTypeByID(std::wstring itemID, VARTYPE* pType) override;
    HRESULT GetEngineeringUnits(DWORD hDevice, DWORD* pEUType, COPCEngineeringUnits** ppEU) override;
    HRESULT ValidateItem(OPCITEMDEF itemDef) override;
    HRESULT AddItem(std::wstring itemID, DWORD* phDevice) override;
    HRESULT RemoveItem(DWORD hDevice) override;
    HRESULT Initialize() override;

    // "set%d.%s" after folding A-Z; the set number as read, the kind 0 to 4.
    static HRESULT ParseItemID(const wchar_t* itemID, int* pSet, DWORD* pKind);
};

// The process's item set: the signal sets, unless a profile set another one
// before serving.
extern IDeviceItems* pGlobalDeviceItems;
IDeviceItems* SignalSetItems();
