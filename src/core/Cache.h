// The item value cache, keyed by device handle, and its device update thread.
#pragma once
#include <windows.h>
#include <oleauto.h>

#include <atomic>
#include <map>
#include <vector>

#include "core/DeviceLock.h"

// An ordered set of device handles: ascending, each once.
using DeviceHandleSet = std::vector<DWORD>;

struct CCacheEntry {
    CCacheEntry();
    ~CCacheEntry();
    CCacheEntry(const CCacheEntry& other);
    CCacheEntry& operator=(const CCacheEntry& other);

    VARIANT vValue;
    FILETIME ftTimeStamp;
    WORD wQuality;
    DWORD dwActiveCount;
    DWORD dwRefCount;
    // The sampling instant of the value held, in the order the device took
    // its instants (0: none yet). A sample taken before it never replaces it.
    unsigned long ulSample;
};

// A device's sampling instant: its number (never 0) and its time stamp,
// taken together, so that numbers and time stamps go up together.
unsigned long TakeSampleInstant(FILETIME* pTimeStamp);

// An entry the device has not written yet: no value, quality BAD with no
// sub-status (what a new entry holds).
inline bool NeverSampled(const CCacheEntry& entry) { return entry.vValue.vt == VT_EMPTY && entry.wQuality == 0; }

// A device reports a read that failed as a VT_ERROR value with BAD quality:
// the failure code, or S_OK for a value.
inline HRESULT SampleError(const VARIANT& value, WORD quality)
{
    return (value.vt == VT_ERROR && (quality & 0xC0) == 0 && FAILED(value.scode)) ? value.scode : S_OK;
}

// Whether a VARIANT of this type holds nothing allocated (a number, a date,
// an error code, nothing).
inline bool IsPlainValue(VARTYPE vt)
{
    switch (vt) {
    case VT_EMPTY: case VT_NULL: case VT_I1: case VT_UI1: case VT_I2: case VT_UI2: case VT_BOOL:
    case VT_I4: case VT_UI4: case VT_INT: case VT_UINT: case VT_ERROR: case VT_R4: case VT_R8:
    case VT_I8: case VT_UI8: case VT_CY: case VT_DATE:
        return true;
    default:
        return false;
    }
}
// Copies a value into a stored VARIANT; a failed copy leaves VT_ERROR with
// the failure code. Plain numeric values are copied without the allocator.
void CopyStoredVariant(VARIANT* destination, const VARIANT* source);
// An empty VARIANT, without a call to the platform (what VariantInit does).
inline void EmptyVariant(VARIANT* v) { v->vt = VT_EMPTY; }
// Clears a VARIANT; a plain one without a call to the platform.
inline void ClearStoredVariant(VARIANT* v)
{
    if (IsPlainValue(v->vt))
        v->vt = VT_EMPTY;
    else
        VariantClear(v);
}

class CMultiThreadObject {
public:
    CDeviceLock m_hMutex;  // the one lock of the cache: recursive for its owner
};

// The update pass's plan: the active entries in ascending handle order,
// made again when the set of active entries changes, and what the device
// keeps of its own about those handles between passes (it resolves them
// once, not every 10 ms).
struct CSamplePass {
    DeviceHandleSet handles;
    std::vector<CCacheEntry*> entries;
    std::vector<const void*> deviceSlots;  // the device's, one per handle
    unsigned long deviceVersion = 0;       // the device's: what the slots were resolved against
    bool deviceResolved = false;
};

class CCache : public CMultiThreadObject {
public:
    class CCacheException {};

    CCache() = default;
    virtual ~CCache();
    CCache(const CCache&) = delete;
    CCache& operator=(const CCache&) = delete;

    // All of these need the caller to hold m_hMutex.
    void AddRefEntry(DWORD hDevice);
    virtual HRESULT ReleaseEntry(DWORD hDevice);
    HRESULT ActivateEntry(DWORD hDevice);
    HRESULT DeactivateEntry(DWORD hDevice);
    CCacheEntry* FindEntry(DWORD hDevice);
    void SetEntryValue(DWORD hDevice, const VARIANT& value, const FILETIME& ts, WORD quality);
    HRESULT UpdateFromDevice(DeviceHandleSet hParams);

    // The update pass: takes m_hMutex itself.
    int UpdateActiveEntries();
    // Stores the samples of handles [first, first + n) of the pass (kinds
    // the device could not sample are skipped); takes m_hMutex itself.
    // Entries that went since the pass began are looked up (and the samples
    // of those no longer there dropped).
    // A sample taken before the one an entry holds (a device read and a
    // pass overlapping) is dropped too.
    void StorePassSamples(const CSamplePass& pass, size_t first, size_t n, const VARIANT* samples,
                          const bool* skip, const FILETIME& ts, WORD quality, unsigned long sample);
    // Stores one sample taken at instant number `sample` (under m_hMutex);
    // a later sample the entry holds stays. False when the entry went.
    bool StoreSample(DWORD hDevice, const VARIANT& value, const FILETIME& ts, WORD quality, unsigned long sample);

    size_t EntryCount() const { return m_entries.size(); }

    std::map<DWORD, CCacheEntry> m_entries;

private:
    // Stores a sample unless the entry holds a later one.
    static void StoreInto(CCacheEntry* entry, const VARIANT& value, const FILETIME& ts, WORD quality,
                          unsigned long sample);

    CSamplePass m_pass;             // the update pass's, reused
    bool m_bActiveChanged = true;   // an entry became active or inactive, or an active one went
    unsigned long m_ulErasures = 0; // entries erased so far
    unsigned long m_ulPassErasures = 0;  // ... when the current pass began
};

extern std::atomic<bool> bCacheUpdateRunning;

class CUpdateCache : public CCache {
public:
    CUpdateCache();
    ~CUpdateCache() override;

    HANDLE StartUpdateThread();
    void StopUpdateThread();

    DWORD m_dwUpdatePeriod;
    HANDLE m_hThread = nullptr;

    // Number of completed update passes (for tests and benchmarks).
    std::atomic<unsigned long> m_nPasses{0};

private:
    static DWORD WINAPI UpdateThreadProc(void* param);
};

extern CUpdateCache g_cache;
