// The update scan manager: a schedule of the active groups by due time and
// one thread that scans each group when it is due.
#pragma once
#include <windows.h>

#include <vector>

#include "core/Locks.h"

class COPCGroup;

struct ScheduleEntry {
    COPCGroup* pGroup;  // holds one COM reference and one use of the group
    LONGLONG llDue;     // performance-counter value; 0 = due at once
};

class CUpdateScanMgr {
public:
    CUpdateScanMgr();
    virtual ~CUpdateScanMgr();
    CUpdateScanMgr(const CUpdateScanMgr&) = delete;
    CUpdateScanMgr& operator=(const CUpdateScanMgr&) = delete;

    // Starts the thread; false when an event or the thread cannot be made.
    bool Start();

    // For the group (under the group's lock). Schedule answers FALSE when the
    // group is in the schedule already or is being scanned (the scan puts it
    // back itself): a group never has two entries.
    BOOL Schedule(COPCGroup* pGroup);
    BOOL Unschedule(COPCGroup* pGroup);
    void AdjustDue(COPCGroup* pGroup, DWORD dwOldRate, DWORD dwNewRate);
    // How far a rate change moves a due time (ticks; negative: earlier).
    static LONGLONG DueShift(DWORD dwOldRate, DWORD dwNewRate);

    // For the thread.
    COPCGroup* WaitForNextGroup();
    // Puts the group the thread holds back, resp. lets go of it (under the
    // group's lock: COPCGroup::ReturnToSchedule).
    void Reschedule(COPCGroup* pGroup, LONGLONG llDue);
    void EndScan();
    COPCGroup* PopAny();

    size_t ScheduledCount();
    // The due time of a group's entry; -1 when it is not in the schedule.
    LONGLONG DueOf(COPCGroup* pGroup);

    HANDLE m_hThread = nullptr;
    DWORD m_dwThreadId = 0;
    std::vector<ScheduleEntry> m_queue;  // a binary heap, earliest due on top
    COPCGroup* m_pScanning = nullptr;     // taken out by the thread, not yet put back
    CCriticalSection m_cs;
    int m_nYieldCountdown = 100;
    HANDLE m_hTerminateEvent;
    HANDLE m_hReadyEvent;

private:
    static DWORD WINAPI ThreadProc(void* param);
    void Push(const ScheduleEntry& entry);
    void Pop();
    void RebuildHeap();
};

extern CUpdateScanMgr* pGlobalUpdateScanMgr;
HRESULT AcquireUpdateScanMgr(CUpdateScanMgr** ppMgr);
int ReleaseUpdateScanMgr(CUpdateScanMgr* pUpdateScanMgr);
