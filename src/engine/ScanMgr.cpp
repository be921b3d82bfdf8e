#include "engine/ScanMgr.h"

#include "common/OPCGlob.h"
#include "common/Trace.h"
#include "core/SharedManager.h"
#include "opc/OPCGroup.h"

#include <algorithm>
#include <new>

CUpdateScanMgr* pGlobalUpdateScanMgr = nullptr;
namespace {
LONG nUpdateScanMgrRefs = 0;
CCriticalSection csUpdateScanMgr;

// An entry is above another when it is due earlier.
bool Later(const ScheduleEntry& a, const ScheduleEntry& b) { return a.llDue > b.llDue; }

// A due time within one millisecond counts as due.
DWORD DueTolerance() { return static_cast<DWORD>(TicksPerMs()); }
}  // namespace

HRESULT AcquireUpdateScanMgr(CUpdateScanMgr** ppMgr)
{
    return AcquireShared(csUpdateScanMgr, pGlobalUpdateScanMgr, nUpdateScanMgrRefs, ppMgr);
}

int ReleaseUpdateScanMgr(CUpdateScanMgr* pUpdateScanMgr)
{
    VANTREL_ASSERT(pUpdateScanMgr == pGlobalUpdateScanMgr);
    ReleaseShared(csUpdateScanMgr, pGlobalUpdateScanMgr, nUpdateScanMgrRefs, pUpdateScanMgr);
    return 0;
}

CUpdateScanMgr::CUpdateScanMgr()
    : m_hTerminateEvent(CreateEventW(nullptr, FALSE, FALSE, nullptr)),
      m_hReadyEvent(CreateEventW(nullptr, FALSE, FALSE, nullptr))
{
}

bool CUpdateScanMgr::Start()
{
    if (!m_hTerminateEvent || !m_hReadyEvent)
        return false;
    m_hThread = CreateThread(nullptr, 0, &CUpdateScanMgr::ThreadProc, this, 0, &m_dwThreadId);
    return m_hThread != nullptr;
}

CUpdateScanMgr::~CUpdateScanMgr()
{
    if (m_hThread) {
        SetEvent(m_hTerminateEvent);
        WaitForSingleObject(m_hThread, INFINITE);
        CloseHandle(m_hThread);
    }
    if (m_hTerminateEvent)
        CloseHandle(m_hTerminateEvent);
    if (m_hReadyEvent)
        CloseHandle(m_hReadyEvent);
}

void CUpdateScanMgr::Push(const ScheduleEntry& entry)
{
    m_queue.push_back(entry);
    std::push_heap(m_queue.begin(), m_queue.end(), Later);
}

void CUpdateScanMgr::Pop()
{
    std::pop_heap(m_queue.begin(), m_queue.end(), Later);
    m_queue.pop_back();
}

void CUpdateScanMgr::RebuildHeap() { std::make_heap(m_queue.begin(), m_queue.end(), Later); }

BOOL CUpdateScanMgr::Schedule(COPCGroup* pGroup)
{
    CCsLock lock(m_cs);
    if (pGroup == m_pScanning)
        return FALSE;
    for (const ScheduleEntry& e : m_queue)
        if (e.pGroup == pGroup)
            return FALSE;
    Push(ScheduleEntry{pGroup, 0});
    SetEvent(m_hReadyEvent);
    return TRUE;
}

BOOL CUpdateScanMgr::Unschedule(COPCGroup* pGroup)
{
    CCsLock lock(m_cs);
    auto it = std::find_if(m_queue.begin(), m_queue.end(),
                           [pGroup](const ScheduleEntry& e) { return e.pGroup == pGroup; });
    if (it == m_queue.end())
        return FALSE;
    m_queue.erase(it);
    if (m_queue.size() >= 2)
        RebuildHeap();
    return TRUE;
}

LONGLONG CUpdateScanMgr::DueShift(DWORD dwOldRate, DWORD dwNewRate)
{
    return (static_cast<LONGLONG>(dwNewRate) - static_cast<LONGLONG>(dwOldRate)) * TicksPerMs();
}

void CUpdateScanMgr::AdjustDue(COPCGroup* pGroup, DWORD dwOldRate, DWORD dwNewRate)
{
    CCsLock lock(m_cs);
    auto it = std::find_if(m_queue.begin(), m_queue.end(),
                           [pGroup](const ScheduleEntry& e) { return e.pGroup == pGroup; });
    if (it == m_queue.end())
        return;
    it->llDue += DueShift(dwOldRate, dwNewRate);
    RebuildHeap();
    SetEvent(m_hReadyEvent);
}

void CUpdateScanMgr::Reschedule(COPCGroup* pGroup, LONGLONG llDue)
{
    CCsLock lock(m_cs);
    m_pScanning = nullptr;
    Push(ScheduleEntry{pGroup, llDue});
    if (--m_nYieldCountdown == 0) {
        m_nYieldCountdown = 100;
        Sleep(0);  // a group with update rate 0 is always due: give way now and then
    }
}

void CUpdateScanMgr::EndScan()
{
    CCsLock lock(m_cs);
    m_pScanning = nullptr;
}

COPCGroup* CUpdateScanMgr::PopAny()
{
    CCsLock lock(m_cs);
    if (m_queue.empty())
        return nullptr;
    COPCGroup* group = m_queue.front().pGroup;
    Pop();
    return group;
}

size_t CUpdateScanMgr::ScheduledCount()
{
    CCsLock lock(m_cs);
    return m_queue.size();
}

LONGLONG CUpdateScanMgr::DueOf(COPCGroup* pGroup)
{
    CCsLock lock(m_cs);
    for (const ScheduleEntry& e : m_queue) {
        if (e.pGroup == pGroup)
            return e.llDue;
    }
    return -1;
}

COPCGroup* CUpdateScanMgr::WaitForNextGroup()
{
    HANDLE events[2] = {m_hTerminateEvent, m_hReadyEvent};
    DWORD result = WAIT_OBJECT_0 + 1;
    DWORD timeout = INFINITE;
    const LONGLONG ticks = TicksPerMs();
    for (;;) {
        if (result == WAIT_OBJECT_0) {
            DebugTrace(L"TERMINATE event\n");
            return nullptr;
        }
        if (result == WAIT_OBJECT_0 + 1 || result == WAIT_TIMEOUT) {
            DebugTrace(result == WAIT_TIMEOUT ? L"TIMEOUT_EXPIRED event\n" : L"READY event\n");
            CCsLock lock(m_cs);
            if (m_queue.empty()) {
                DebugTrace(L"OPCGroup update queue is empty\n");
                timeout = INFINITE;
            } else {
                LARGE_INTEGER now;
                QueryPerformanceCounter(&now);
                LONGLONG diff = m_queue.front().llDue - now.QuadPart;
                ULARGE_INTEGER u;
                u.QuadPart = static_cast<ULONGLONG>(diff);
                if (diff < 0 || (u.HighPart == 0 && u.LowPart <= DueTolerance())) {
                    COPCGroup* group = m_queue.front().pGroup;
                    Pop();
                    m_pScanning = group;
                    QueryPerformanceCounter(&now);
                    DebugTrace(L"OPCGroup (%#010x) selected at %I64d ms absolute\n",
                               static_cast<unsigned>(reinterpret_cast<UINT_PTR>(group)), now.QuadPart / ticks);
                    return group;
                }
                timeout = static_cast<DWORD>(diff / ticks);
            }
        }
        // Any other result breaks an invariant: nothing is scanned, wait again.
        DebugTrace(L"Waiting %lu ms...\n", static_cast<unsigned long>(timeout));
        result = WaitForMultipleObjects(2, events, FALSE, timeout);
    }
}

DWORD WINAPI CUpdateScanMgr::ThreadProc(void* param)
{
    auto* mgr = static_cast<CUpdateScanMgr*>(param);
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    while (COPCGroup* group = mgr->WaitForNextGroup()) {
        LONGLONG due = 0;
        const bool scanned = group->Update(&due) != FALSE;
        // Taken while the schedule still holds the group; it holds a
        // reference of its own when there is anything to deliver.
        auto delivery = group->TakeCallbackDelivery();
        // A state change made while the thread held the group (an
        // activation, whose Schedule left the group to this thread, or a
        // new rate) is seen here.
        if (!group->ReturnToSchedule(mgr, scanned)) {
            // The use first: the reference may be the group's last.
            group->ReleaseUse();
            group->Release();
        }
        // No lock and no use held: the client may remove the group or change
        // it from inside its callback.
        COPCGroup::DeliverCallbacks(std::move(delivery));
    }
    while (COPCGroup* group = mgr->PopAny()) {
        group->ReleaseUse();
        group->Release();
    }
    CoUninitialize();
    return 0;
}
