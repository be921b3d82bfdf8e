// Finds the server's process from outside it (for the tools that watch it).
#pragma once
#include <windows.h>
#include <tlhelp32.h>
#include <psapi.h>

// The identifier of a running Vantrel.exe of this session other than
// `except`, or 0.
inline DWORD FindServerPid(DWORD except = 0)
{
    DWORD pid = 0;
    HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snap == INVALID_HANDLE_VALUE)
        return 0;
    PROCESSENTRY32W pe = {};
    pe.dwSize = sizeof(pe);
    for (BOOL ok = Process32FirstW(snap, &pe); ok; ok = Process32NextW(snap, &pe))
        if (lstrcmpiW(pe.szExeFile, L"Vantrel.exe") == 0 && pe.th32ProcessID != except)
            pid = pe.th32ProcessID;
    CloseHandle(snap);
    return pid;
}

// The number of threads of a process, read from outside it.
inline DWORD ThreadCount(DWORD pid)
{
    DWORD n = 0;
    HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snap == INVALID_HANDLE_VALUE)
        return 0;
    THREADENTRY32 te = {};
    te.dwSize = sizeof(te);
    for (BOOL ok = Thread32First(snap, &te); ok; ok = Thread32Next(snap, &te))
        if (te.th32OwnerProcessID == pid)
            ++n;
    CloseHandle(snap);
    return n;
}

// The working set of a process opened with PROCESS_QUERY_INFORMATION |
// PROCESS_VM_READ, in bytes.
inline SIZE_T WorkingSetOf(HANDLE process)
{
    PROCESS_MEMORY_COUNTERS pmc = {};
    pmc.cb = sizeof(pmc);
    GetProcessMemoryInfo(process, &pmc, sizeof(pmc));
    return pmc.WorkingSetSize;
}
