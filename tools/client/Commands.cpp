#include "client/Commands.h"

#include "common/OpcDefs.h"

#include <objbase.h>

#include <cstdio>
#include <cwchar>
#include <string>

namespace {

enum ExitCode { kOk = 0, kFailed = 1, kUsage = 2, kNoServer = 3 };

void PrintHResult(const wchar_t* what, HRESULT hr)
{
    fwprintf(stderr, L"error: %ls failed: 0x%08lX\n", what, static_cast<unsigned long>(hr));
}

std::wstring FormatFileTime(const FILETIME& ft, bool local)
{
    if (ft.dwLowDateTime == 0 && ft.dwHighDateTime == 0)
        return L"(never)";
    SYSTEMTIME st;
    FILETIME lft = ft;
    if (local)
        FileTimeToLocalFileTime(&ft, &lft);
    FileTimeToSystemTime(&lft, &st);
    wchar_t buf[64];
    _snwprintf(buf, 63, L"%04u-%02u-%02u %02u:%02u:%02u.%03u%ls", st.wYear, st.wMonth, st.wDay, st.wHour,
               st.wMinute, st.wSecond, st.wMilliseconds, local ? L"" : L"Z");
    buf[63] = 0;
    return buf;
}

const wchar_t* ServerStateName(OPCSERVERSTATE s)
{
    switch (s) {
    case OPC_STATUS_RUNNING: return L"running";
    case OPC_STATUS_FAILED: return L"failed";
    case OPC_STATUS_NOCONFIG: return L"no configuration";
    case OPC_STATUS_SUSPENDED: return L"suspended";
    case OPC_STATUS_TEST: return L"test";
    default: return L"unknown";
    }
}

HRESULT ConnectServer(const wchar_t* progId, IOPCServer** server)
{
    CLSID clsid;
    HRESULT hr = CLSIDFromProgID(progId, &clsid);
    if (FAILED(hr)) {
        fwprintf(stderr, L"error: ProgID %ls is not registered (0x%08lX)\n", progId,
                 static_cast<unsigned long>(hr));
        return hr;
    }
    hr = CoCreateInstance(clsid, nullptr, CLSCTX_LOCAL_SERVER, IID_IOPCServer, reinterpret_cast<void**>(server));
    if (FAILED(hr))
        PrintHResult(L"creating the server", hr);
    return hr;
}

int CmdStatus(IOPCServer* server)
{
    OPCSERVERSTATUS* status = nullptr;
    HRESULT hr = server->GetStatus(&status);
    if (FAILED(hr) || !status) {
        PrintHResult(L"GetStatus", hr);
        return kFailed;
    }
    wprintf(L"Vendor:       %ls\n", status->szVendorInfo ? status->szVendorInfo : L"");
    wprintf(L"Version:      %u.%u.%u\n", status->wMajorVersion, status->wMinorVersion, status->wBuildNumber);
    wprintf(L"State:        %ls\n", ServerStateName(status->dwServerState));
    wprintf(L"Start time:   %ls (UTC %ls)\n", FormatFileTime(status->ftStartTime, true).c_str(),
            FormatFileTime(status->ftStartTime, false).c_str());
    wprintf(L"Current time: %ls (UTC %ls)\n", FormatFileTime(status->ftCurrentTime, true).c_str(),
            FormatFileTime(status->ftCurrentTime, false).c_str());
    wprintf(L"Last update:  %ls\n", FormatFileTime(status->ftLastUpdateTime, true).c_str());
    wprintf(L"Groups:       %lu\n", static_cast<unsigned long>(status->dwGroupCount));
    wprintf(L"Band width:   0x%08lX\n", static_cast<unsigned long>(status->dwBandWidth));
    CoTaskMemFree(status->szVendorInfo);
    CoTaskMemFree(status);
    return kOk;
}

void Usage()
{
    fwprintf(stderr,
             L"usage: opcda-client [--progid PROGID] COMMAND [options]\n"
             L"commands:\n"
             L"  status     print the server status\n"
             L"Run 'opcda-client COMMAND --help' for a command's options.\n");
}

}  // namespace

int RunClient(int argc, wchar_t** argv)
{
    const wchar_t* progId = VANTREL_PROGID;
    int i = 1;
    for (; i < argc; ++i) {
        if (wcscmp(argv[i], L"--progid") == 0 && i + 1 < argc) {
            progId = argv[++i];
        } else if (wcscmp(argv[i], L"--help") == 0 || wcscmp(argv[i], L"-h") == 0) {
            Usage();
            return kOk;
        } else {
            break;
        }
    }
    if (i >= argc) {
        Usage();
        return kUsage;
    }
    const wchar_t* command = argv[i];
    if (wcscmp(command, L"status") != 0) {
        fwprintf(stderr, L"error: unknown command '%ls'\n", command);
        Usage();
        return kUsage;
    }
    if (i + 1 < argc && wcscmp(argv[i + 1], L"--help") == 0) {
        wprintf(L"usage: opcda-client status\n  Connects to the server and prints its status.\n");
        return kOk;
    }

    HRESULT hr = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    if (FAILED(hr)) {
        PrintHResult(L"CoInitializeEx", hr);
        return kFailed;
    }
    int rc;
    {
        IOPCServer* server = nullptr;
        hr = ConnectServer(progId, &server);
        if (FAILED(hr)) {
            rc = kNoServer;
        } else {
            rc = CmdStatus(server);
            server->Release();
        }
    }
    CoUninitialize();
    return rc;
}
