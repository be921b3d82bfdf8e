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
};

// Copies a value into a stored VARIANT; a failed copy leaves VT_ERROR with
// the failure code. Plain numeric values are copied without the allocator.
void CopyStoredVariant(VARIANT* destination, const VARIANT* source);

class CMultiThreadObject {
public:
    CDeviceLock m_hMutex;  // the one lock of the cache: recursive for its owner
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

    size_t EntryCount() const { return m_entries.size(); }

    std::map<DWORD, CCacheEntry> m_entries;

private:
    DeviceHandleSet m_passHandles;  // reused by the update pass
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
