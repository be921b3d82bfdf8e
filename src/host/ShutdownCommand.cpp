#include "host/ShutdownCommand.h"

#include "common/Trace.h"
#include "host/ClientWatch.h"
#include "host/Module.h"
#include "host/ServerLifetime.h"
#include "opc/OPCSrvr.h"

#include <objbase.h>

#include <cwchar>

namespace {
const wchar_t kEventName[] = L"Local\\VantrelShutdownRequest";
const wchar_t kBlockName[] = L"Local\\VantrelShutdownReason";

struct CShutdownBlock {
    DWORD dwServerPid;     // the server that made the block
    wchar_t szReason[512];
};

HANDLE g_hRequest = nullptr;
HANDLE g_hBlock = nullptr;
CShutdownBlock* g_pBlock = nullptr;
HANDLE g_hStop = nullptr;
HANDLE g_hThread = nullptr;

void Say(const wchar_t* text)
{
    char line[600];
    int n = WideCharToMultiByte(CP_ACP, 0, text, -1, line, sizeof(line) - 2, nullptr, nullptr);
    if (n <= 0)
        return;
    line[n - 1] = '\n';
    DWORD written = 0;
    HANDLE err = GetStdHandle(STD_ERROR_HANDLE);
    if (err && err != INVALID_HANDLE_VALUE)
        WriteFile(err, line, static_cast<DWORD>(n), &written, nullptr);
    DebugTrace(L"%s\n", text);
}

DWORD WINAPI ListenerThread(void*)
{
    HANDLE waits[2] = {g_hStop, g_hRequest};
    if (WaitForMultipleObjects(2, waits, FALSE, INFINITE) != WAIT_OBJECT_0 + 1)
        return 0;
    HRESULT hr = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    VANTREL_ASSERT(SUCCEEDED(hr));
    wchar_t reason[512];
    lstrcpynW(reason, g_pBlock->szReason, 512);
    DebugTrace(L"Shutdown requested: \"%s\"\n", reason);
    // No lock of the server is held here: clients may call back from
    // inside ShutdownRequest (unadvise, remove groups, release).
    RequestEnd();  // no lingering for new clients once they were told to go
    COPCServer::RequestShutdownOfAll(reason);
    DisconnectAllClients();
    if (g_module.m_nLockCount == 0 && g_module.m_dwThreadID != 0) {
        // Nothing held the process (or the last release came before): end.
        PostThreadMessageW(g_module.m_dwThreadID, WM_QUIT, 0, 0);
    }
    CoUninitialize();
    return 0;
}
}  // namespace

bool ScanShutdown(const wchar_t* commandLine, std::wstring* pReason)
{
    pReason->clear();
    for (const wchar_t* p = commandLine; p && (p = wcspbrk(p, L"-/")) != nullptr; ++p) {
        if (p != commandLine && p[-1] != L' ' && p[-1] != L'\t')
            continue;
        if (_wcsnicmp(p + 1, L"Shutdown", 8) != 0 || (p[9] != L'\0' && p[9] != L' ' && p[9] != L'\t'))
            continue;
        const wchar_t* r = p + 9;
        while (*r == L' ' || *r == L'\t')
            ++r;
        std::wstring reason = r;
        if (!reason.empty() && reason.front() == L'"') {
            size_t end = reason.find(L'"', 1);
            reason = reason.substr(1, end == std::wstring::npos ? std::wstring::npos : end - 1);
        } else {
            while (!reason.empty() && (reason.back() == L' ' || reason.back() == L'\t'))
                reason.pop_back();
        }
        *pReason = reason;
        return true;
    }
    return false;
}

int RunShutdownCommand(const std::wstring& reason)
{
    HANDLE request = OpenEventW(EVENT_MODIFY_STATE, FALSE, kEventName);
    HANDLE block = OpenFileMappingW(FILE_MAP_WRITE | FILE_MAP_READ, FALSE, kBlockName);
    if (!request || !block) {
        if (request)
            CloseHandle(request);
        if (block)
            CloseHandle(block);
        Say(L"Vantrel: no running server to shut down");
        return 1;
    }
    auto* shared = static_cast<CShutdownBlock*>(MapViewOfFile(block, FILE_MAP_WRITE | FILE_MAP_READ, 0, 0, 0));
    int code = 1;
    if (shared) {
        lstrcpynW(shared->szReason, reason.c_str(), 512);
        HANDLE server = OpenProcess(SYNCHRONIZE, FALSE, shared->dwServerPid);
        SetEvent(request);
        if (server && WaitForSingleObject(server, 30000) == WAIT_OBJECT_0)
            code = 0;
        else
            Say(L"Vantrel: the server did not end within 30 s");
        if (server)
            CloseHandle(server);
        UnmapViewOfFile(shared);
    }
    CloseHandle(block);
    CloseHandle(request);
    return code;
}

void StartShutdownListener()
{
    if (g_hThread)
        return;
    g_hRequest = CreateEventW(nullptr, TRUE, FALSE, kEventName);  // every running server hears it
    g_hBlock = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, sizeof(CShutdownBlock),
                                  kBlockName);
    const bool first = GetLastError() != ERROR_ALREADY_EXISTS;
    if (!g_hRequest || !g_hBlock)
        return;
    g_pBlock = static_cast<CShutdownBlock*>(MapViewOfFile(g_hBlock, FILE_MAP_WRITE | FILE_MAP_READ, 0, 0, 0));
    if (!g_pBlock)
        return;
    if (first)
        g_pBlock->dwServerPid = GetCurrentProcessId();
    ResetEvent(g_hRequest);  // a request left over from an earlier server is not ours
    g_hStop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    g_hThread = CreateThread(nullptr, 0, &ListenerThread, nullptr, 0, nullptr);
}

void StopShutdownListener()
{
    if (g_hThread) {
        SetEvent(g_hStop);
        WaitForSingleObject(g_hThread, INFINITE);
        CloseHandle(g_hThread);
        CloseHandle(g_hStop);
        g_hThread = nullptr;
    }
    if (g_pBlock)
        UnmapViewOfFile(g_pBlock);
    if (g_hBlock)
        CloseHandle(g_hBlock);
    if (g_hRequest)
        CloseHandle(g_hRequest);
    g_pBlock = nullptr;
    g_hBlock = g_hRequest = nullptr;
}
