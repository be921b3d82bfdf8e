#include "core/Cache.h"

#include "common/OPCGlob.h"
#include "common/Trace.h"
#include "core/Locks.h"
#include "sim/SimIO.h"

#include <new>

std::atomic<bool> bCacheUpdateRunning{false};
CUpdateCache g_cache;

void CopyStoredVariant(VARIANT* destination, const VARIANT* source)
{
    if (IsPlainValue(destination->vt) && IsPlainValue(source->vt)) {
        *destination = *source;
        return;
    }
    HRESULT hr = VariantCopy(destination, const_cast<VARIANT*>(source));
    if (FAILED(hr)) {
        VariantClear(destination);
        destination->vt = VT_ERROR;
        destination->scode = hr;
    }
}

CCacheEntry::CCacheEntry() : ftTimeStamp{}, wQuality(0), dwActiveCount(0), dwRefCount(0), ulSample(0)
{
    VariantInit(&vValue);
    GetSystemTimeAsFileTime(&ftTimeStamp);
}

CCacheEntry::~CCacheEntry() { VariantClear(&vValue); }

CCacheEntry::CCacheEntry(const CCacheEntry& other)
    : ftTimeStamp(other.ftTimeStamp), wQuality(other.wQuality), dwActiveCount(other.dwActiveCount),
      dwRefCount(other.dwRefCount), ulSample(other.ulSample)
{
    VariantInit(&vValue);
    CopyStoredVariant(&vValue, &other.vValue);
}

CCacheEntry& CCacheEntry::operator=(const CCacheEntry& other)
{
    if (this != &other) {
        CopyStoredVariant(&vValue, &other.vValue);
        ftTimeStamp = other.ftTimeStamp;
        wQuality = other.wQuality;
        dwActiveCount = other.dwActiveCount;
        dwRefCount = other.dwRefCount;
        ulSample = other.ulSample;
    }
    return *this;
}

CCache::~CCache() { m_entries.clear(); }

void CCache::AddRefEntry(DWORD hDevice)
{
    CCacheEntry* entry = nullptr;
    try {
        entry = &m_entries[hDevice];
    } catch (const std::bad_alloc&) {
        throw static_cast<HRESULT>(E_OUTOFMEMORY);
    }
    ++entry->dwRefCount;
}

HRESULT CCache::ReleaseEntry(DWORD hDevice)
{
    auto it = m_entries.find(hDevice);
    if (it == m_entries.end())
        return E_FAIL;
    if (it->second.dwRefCount != 0)
        --it->second.dwRefCount;
    if (it->second.dwRefCount == 0) {
        if (it->second.dwActiveCount != 0)
            m_bActiveChanged = true;
        ++m_ulErasures;
        m_entries.erase(it);  // the entry's destructor clears its variant
    }
    return S_OK;
}

HRESULT CCache::ActivateEntry(DWORD hDevice)
{
    auto it = m_entries.find(hDevice);
    if (it == m_entries.end())
        return E_FAIL;
    if (it->second.dwActiveCount++ == 0)
        m_bActiveChanged = true;
    return S_OK;
}

HRESULT CCache::DeactivateEntry(DWORD hDevice)
{
    auto it = m_entries.find(hDevice);
    if (it == m_entries.end())
        return E_FAIL;
    if (it->second.dwActiveCount != 0 && --it->second.dwActiveCount == 0)
        m_bActiveChanged = true;
    return S_OK;
}

CCacheEntry* CCache::FindEntry(DWORD hDevice)
{
    auto it = m_entries.find(hDevice);
    return it == m_entries.end() ? nullptr : &it->second;
}

unsigned long TakeSampleInstant(FILETIME* pTimeStamp)
{
    static CCriticalSection cs;
    static unsigned long numbers = 0;
    CCsLock lock(cs);
    if (++numbers == 0)
        ++numbers;  // 0 stays "none"
    GetSystemTimeAsFileTime(pTimeStamp);
    return numbers;
}

void CCache::StoreInto(CCacheEntry* entry, const VARIANT& value, const FILETIME& ts, WORD quality,
                       unsigned long sample)
{
    // Later in the order of instants, also across the numbers' wrap.
    if (entry->ulSample != 0 && static_cast<long>(entry->ulSample - sample) > 0)
        return;
    CopyStoredVariant(&entry->vValue, &value);
    entry->ftTimeStamp = ts;
    entry->wQuality = quality;
    entry->ulSample = sample;
}

bool CCache::StoreSample(DWORD hDevice, const VARIANT& value, const FILETIME& ts, WORD quality, unsigned long sample)
{
    CCacheEntry* entry = FindEntry(hDevice);
    if (!entry)
        return false;
    StoreInto(entry, value, ts, quality, sample);
    return true;
}

void CCache::SetEntryValue(DWORD hDevice, const VARIANT& value, const FILETIME& ts, WORD quality)
{
    auto it = m_entries.find(hDevice);
    if (it == m_entries.end())
        throw CCacheException();
    CopyStoredVariant(&it->second.vValue, &value);
    it->second.ftTimeStamp = ts;
    it->second.wQuality = quality;
}

HRESULT CCache::UpdateFromDevice(DeviceHandleSet hParams)
{
    for (DWORD h : hParams)
        AddRefEntry(h);
    DebugTrace(L"hParams.size(): %d\n", static_cast<int>(hParams.size()));
    pGlobalDeviceIO->UpdateItems(hParams, *this);
    for (DWORD h : hParams)
        ReleaseEntry(h);
    return S_OK;
}

int CCache::UpdateActiveEntries()
{
    {
        CDeviceLockHold lock(m_hMutex);
        if (m_bActiveChanged) {
            m_pass.handles.clear();
            m_pass.entries.clear();
            for (auto& entry : m_entries) {
                if (entry.second.dwActiveCount != 0) {
                    m_pass.handles.push_back(entry.first);
                    m_pass.entries.push_back(&entry.second);
                }
            }
            m_pass.deviceResolved = false;
            m_bActiveChanged = false;
        }
        m_ulPassErasures = m_ulErasures;
    }
    if (!m_pass.handles.empty()) {
        DebugTrace(L"hParams.size(): %d\n", static_cast<int>(m_pass.handles.size()));
        pGlobalDeviceIO->UpdatePass(m_pass, *this);
    }
    return 0;
}

void CCache::StorePassSamples(const CSamplePass& pass, size_t first, size_t n, const VARIANT* samples,
                              const bool* skip, const FILETIME& ts, WORD quality, unsigned long sample)
{
    CDeviceLockHold lock(m_hMutex);
    // The plan's entries are alive unless one was erased since the pass
    // began (an active entry going also makes the next pass plan anew).
    const bool planned = m_ulErasures == m_ulPassErasures;
    for (size_t i = 0; i < n; ++i) {
        if (skip[i])
            continue;
        CCacheEntry* entry = planned ? pass.entries[first + i] : FindEntry(pass.handles[first + i]);
        if (!entry)
            continue;  // its last item went since the handles were collected: the sample is dropped
        StoreInto(entry, samples[i], ts, quality, sample);
    }
}

CUpdateCache::CUpdateCache() : m_dwUpdatePeriod(10) {}

CUpdateCache::~CUpdateCache()
{
    if (bCacheUpdateRunning.load())
        StopUpdateThread();
    if (m_hThread) {
        CloseHandle(m_hThread);
        m_hThread = nullptr;
    }
}

HANDLE CUpdateCache::StartUpdateThread()
{
    // The flag is set before the thread exists, so that a stop coming at
    // once still ends it.
    bCacheUpdateRunning.store(true);
    m_hThread = CreateThread(nullptr, 0, &CUpdateCache::UpdateThreadProc, this, 0, nullptr);
    if (!m_hThread)
        bCacheUpdateRunning.store(false);
    return m_hThread;
}

void CUpdateCache::StopUpdateThread()
{
    bCacheUpdateRunning.store(false);
    if (m_hThread)
        WaitForSingleObject(m_hThread, INFINITE);
}

DWORD WINAPI CUpdateCache::UpdateThreadProc(void* param)
{
    auto* cache = static_cast<CUpdateCache*>(param);
    const LONGLONG ticksPerMs = TicksPerMs();
    const LONGLONG period = static_cast<LONGLONG>(cache->m_dwUpdatePeriod) * ticksPerMs;
    do {
        LARGE_INTEGER start, end;
        QueryPerformanceCounter(&start);
        cache->UpdateActiveEntries();
        cache->m_nPasses.fetch_add(1);
        QueryPerformanceCounter(&end);
        LONGLONG remaining = start.QuadPart - end.QuadPart + period;
        if (remaining > 0)
            Sleep(static_cast<DWORD>(remaining / ticksPerMs));
    } while (bCacheUpdateRunning.load());
    ExitThread(0);
    return 0;
}
