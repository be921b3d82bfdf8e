// What the server knows of one item ID without a group: its properties (type,
// rights, engineering units) and a sample of its value. The item IO, the
// item properties and the 3.0 browse answer from these.
#pragma once
#include "common/OpcDefs.h"
#include "core/Cache.h"
#include "sim/EngineeringUnits.h"

#include <memory>
#include <string>
#include <vector>

struct CPropertyInfo {
    DWORD id;
    const wchar_t* description;
};

// A value no older than this many milliseconds comes from the cache.
const DWORD kMaxAgeDevice = 0;           // always sample the device
const DWORD kMaxAgeCache = 0xFFFFFFFFu;  // whatever the cache holds

// The set of the item exists while this lives (a set nobody uses starts from
// its defaults, as for a new item).
class CItemFacts {
public:
    CItemFacts() = default;
    CItemFacts(const CItemFacts&) = delete;
    CItemFacts& operator=(const CItemFacts&) = delete;
    ~CItemFacts();

    // Parses the ID as AddItems does; with a sample, the value is read as a
    // read with this MaxAge would read it.
    HRESULT Load(LPCWSTR szItemID, bool withSample, DWORD maxAge = kMaxAgeDevice);

    // The properties of this item, in order.
    std::vector<const CPropertyInfo*> Available() const;
    bool Has(DWORD id) const;
    VARTYPE TypeOf(DWORD id) const;
    const wchar_t* DescriptionOf(DWORD id) const;
    // The value of property id into *v (initialised by the caller).
    HRESULT ValueOf(DWORD id, VARIANT* v) const;

    DWORD DeviceHandle() const { return m_hDevice; }
    VARTYPE CanonicalType() const { return m_vtCanonical; }
    DWORD AccessRights() const { return m_dwRights; }
    const VARIANT& Value() const { return m_vValue; }
    WORD Quality() const { return m_wQuality; }
    const FILETIME& TimeStamp() const { return m_ftTime; }

private:
    void Sample(DWORD maxAge);

    DWORD m_hDevice = 0;
    bool m_bHeld = false;
    VARTYPE m_vtCanonical = VT_EMPTY;
    DWORD m_dwRights = 0;
    DWORD m_dwEUType = OPC_NOENUM;
    std::wstring m_strDescription;  // property 101, when the item set has one
    std::unique_ptr<COPCEngineeringUnits> m_pEU;
    VARIANT m_vValue{};  // VT_EMPTY
    WORD m_wQuality = 0;
    FILETIME m_ftTime{};
};

// Writes the value of a VQT record, converted to the item's canonical type;
// a record that brings a quality or a time stamp is refused whole with
// OPC_E_NOTSUPPORTED (the device makes its own).
HRESULT WriteVQTToDevice(DWORD hDevice, const OPCITEMVQT& vqt);

// Whether a cache entry holds a value young enough for maxAge (ms): one the
// device sampled at most maxAge ago; any entry for 0xFFFFFFFF (the cache),
// none for 0 (the device).
bool YoungEnough(const CCacheEntry& entry, DWORD maxAge);
