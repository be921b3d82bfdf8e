// Helpers of the cross-process tests: the server's executable, its process,
// registry look-ups.
#pragma once
#include <windows.h>
#include <tlhelp32.h>

#include <string>
#include <vector>

namespace e2e {

// The folder of this test program; the server and tools are built beside it.
inline std::wstring BuildDir()
{
    wchar_t path[MAX_PATH] = L"";
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring s(path);
    return s.substr(0, s.find_last_of(L"\\/"));
}

inline std::wstring ServerExe() { return BuildDir() + L"\\Vantrel.exe"; }

inline std::vector<DWORD> ProcessIdsNamed(const wchar_t* exeName)
{
    std::vector<DWORD> ids;
    HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snap == INVALID_HANDLE_VALUE)
        return ids;
    PROCESSENTRY32W pe = {};
    pe.dwSize = sizeof(pe);
    for (BOOL ok = Process32FirstW(snap, &pe); ok; ok = Process32NextW(snap, &pe)) {
        if (lstrcmpiW(pe.szExeFile, exeName) == 0)
            ids.push_back(pe.th32ProcessID);
    }
    CloseHandle(snap);
    return ids;
}

// Waits until no server process is left (a previous test's server ending).
inline bool WaitNoServer(DWORD timeoutMs = 10000)
{
    DWORD start = GetTickCount();
    while (!ProcessIdsNamed(L"Vantrel.exe").empty()) {
        if (GetTickCount() - start > timeoutMs)
            return false;
        Sleep(20);
    }
    return true;
}

// Opens the one running server process (after a client created it).
inline HANDLE OpenServerProcess()
{
    auto ids = ProcessIdsNamed(L"Vantrel.exe");
    if (ids.size() != 1)
        return nullptr;
    return OpenProcess(SYNCHRONIZE | PROCESS_QUERY_INFORMATION | PROCESS_TERMINATE, FALSE, ids[0]);
}

// Runs a program with a command line, waits, returns its exit code (or -1).
inline long RunProcess(const std::wstring& commandLine, DWORD timeoutMs = 60000)
{
    STARTUPINFOW si = {};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi = {};
    std::vector<wchar_t> cmd(commandLine.begin(), commandLine.end());
    cmd.push_back(0);
    if (!CreateProcessW(nullptr, cmd.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi))
        return -1;
    CloseHandle(pi.hThread);
    long code = -1;
    if (WaitForSingleObject(pi.hProcess, timeoutMs) == WAIT_OBJECT_0) {
        DWORD c = 0;
        GetExitCodeProcess(pi.hProcess, &c);
        code = static_cast<long>(c);
    } else {
        TerminateProcess(pi.hProcess, 99);
    }
    CloseHandle(pi.hProcess);
    return code;
}

inline bool KeyExists(HKEY root, const std::wstring& path)
{
    HKEY key = nullptr;
    if (RegOpenKeyExW(root, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
        return false;
    RegCloseKey(key);
    return true;
}

// A named value (or the default value with name nullptr) of a key; "" if absent.
inline std::wstring ReadString(HKEY root, const std::wstring& path, const wchar_t* name)
{
    HKEY key = nullptr;
    if (RegOpenKeyExW(root, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
        return L"";
    wchar_t buf[1024] = L"";
    DWORD size = sizeof(buf) - sizeof(wchar_t);
    DWORD type = 0;
    LONG rc = RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(buf), &size);
    RegCloseKey(key);
    if (rc != ERROR_SUCCESS)
        return L"";
    buf[size / sizeof(wchar_t)] = 0;
    return buf;
}

}  // namespace e2e
