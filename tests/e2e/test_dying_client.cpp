// A client process killed while it is advised on active groups (1.0a
// streams on one, the 2.0 callback on the other) with queued asynchronous
// transactions must not stall the other clients, and the server reclaims
// what it held.
#include "common/OpcDefs.h"
#include "AdviseSinkSpy.h"
#include "DataCallbackSpy.h"
#include "E2eUtil.h"

#include <ocidl.h>

#include <gtest/gtest.h>
#include <wrl/client.h>

#include <cstdio>
#include <string>
#include <vector>

using Microsoft::WRL::ComPtr;

namespace {
// A sink that notes when each block arrives.
class TimingSink : public AdviseSinkSpy {
public:
    STDMETHODIMP_(void) OnDataChange(FORMATETC*, STGMEDIUM*) override
    {
        std::lock_guard<std::mutex> lock(mutex);
        arrivals.push_back(GetTickCount());
    }
    std::vector<DWORD> arrivals;
};

ComPtr<IOPCItemMgt> ActiveGroup(IOPCServer* server, const wchar_t* name, DWORD rate, int firstSet, int count,
                                std::vector<OPCHANDLE>* handles)
{
    ComPtr<IOPCItemMgt> mgt;
    OPCHANDLE hGroup;
    DWORD revised;
    server->AddGroup(name, TRUE, rate, 1, nullptr, nullptr, 0, &hGroup, &revised, IID_IOPCItemMgt,
                     reinterpret_cast<IUnknown**>(mgt.GetAddressOf()));
    std::vector<std::wstring> ids;
    for (int i = 0; i < count; ++i)
        ids.push_back(L"set" + std::to_wstring(firstSet + i) + L".item");
    std::vector<OPCITEMDEF> defs(count);
    for (int i = 0; i < count; ++i) {
        defs[i] = OPCITEMDEF{};
        defs[i].szAccessPath = const_cast<wchar_t*>(L"");
        defs[i].szItemID = const_cast<wchar_t*>(ids[i].c_str());
        defs[i].bActive = TRUE;
        defs[i].hClient = i;
    }
    OPCITEMRESULT* results = nullptr;
    HRESULT* errors = nullptr;
    mgt->AddItems(count, defs.data(), &results, &errors);
    for (int i = 0; i < count; ++i)
        handles->push_back(results[i].hServer);
    CoTaskMemFree(results);
    CoTaskMemFree(errors);
    // Noise: every sample is a change.
    std::vector<std::wstring> params;
    for (int i = 0; i < count; ++i) {
        params.push_back(L"set" + std::to_wstring(firstSet + i) + L".fct");
        params.push_back(L"set" + std::to_wstring(firstSet + i) + L".on");
    }
    std::vector<OPCITEMDEF> pdefs(params.size());
    for (size_t i = 0; i < params.size(); ++i) {
        pdefs[i] = OPCITEMDEF{};
        pdefs[i].szAccessPath = const_cast<wchar_t*>(L"");
        pdefs[i].szItemID = const_cast<wchar_t*>(params[i].c_str());
    }
    mgt->AddItems(static_cast<DWORD>(pdefs.size()), pdefs.data(), &results, &errors);
    std::vector<OPCHANDLE> ph;
    std::vector<VARIANT> values(params.size());
    for (size_t i = 0; i < params.size(); ++i) {
        ph.push_back(results[i].hServer);
        VariantInit(&values[i]);
        values[i].vt = VT_R8;
        values[i].dblVal = (i % 2) ? 1.0 : 2.0;  // on, Noise
    }
    CoTaskMemFree(results);
    CoTaskMemFree(errors);
    ComPtr<IOPCSyncIO> sync;
    mgt.As(&sync);
    sync->Write(static_cast<DWORD>(ph.size()), ph.data(), values.data(), &errors);
    CoTaskMemFree(errors);
    return mgt;
}

// Starts the doomed client, waits until it is advised and busy, and kills it.
// Returns the tick of the kill, 0 on failure.
DWORD StartAndKillDyingClient()
{
    SECURITY_ATTRIBUTES sa = {sizeof(sa), nullptr, TRUE};
    HANDLE readEnd, writeEnd;
    CreatePipe(&readEnd, &writeEnd, &sa, 0);
    SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
    wchar_t self[MAX_PATH];
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring cmd = L"\"" + std::wstring(self) + L"\" --dying-client";
    std::vector<wchar_t> buf(cmd.begin(), cmd.end());
    buf.push_back(0);
    STARTUPINFOW si = {};
    si.cb = sizeof(si);
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdOutput = writeEnd;
    si.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION pi = {};
    if (!CreateProcessW(nullptr, buf.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi))
        return 0;
    CloseHandle(writeEnd);
    char line[16] = {};
    DWORD n = 0;
    ReadFile(readEnd, line, 5, &n, nullptr);
    CloseHandle(readEnd);
    DWORD killedAt = 0;
    if (std::string("ready") == std::string(line, n)) {
        Sleep(500);
        killedAt = GetTickCount();
        TerminateProcess(pi.hProcess, 9);
    } else {
        TerminateProcess(pi.hProcess, 9);
    }
    WaitForSingleObject(pi.hProcess, 5000);
    CloseHandle(pi.hProcess);
    CloseHandle(pi.hThread);
    return killedAt;
}

// The function of set 900 as a new item sees it: the dead client switched it
// to Noise (2); once its items are gone the set starts again from the default.
double ProbeFunctionOfSet900(IOPCServer* server)
{
    ComPtr<IOPCItemMgt> mgt;
    OPCHANDLE hGroup = 0;
    DWORD revised = 0;
    if (FAILED(server->AddGroup(L"probe", FALSE, 1000, 1, nullptr, nullptr, 0, &hGroup, &revised, IID_IOPCItemMgt,
                                reinterpret_cast<IUnknown**>(mgt.GetAddressOf()))))
        return -1;
    OPCITEMDEF def = {};
    def.szAccessPath = const_cast<wchar_t*>(L"");
    def.szItemID = const_cast<wchar_t*>(L"set900.fct");
    def.vtRequestedDataType = VT_R8;
    OPCITEMRESULT* results = nullptr;
    HRESULT* errors = nullptr;
    double value = -1;
    if (mgt->AddItems(1, &def, &results, &errors) == S_OK) {
        OPCHANDLE h = results[0].hServer;
        CoTaskMemFree(results);
        CoTaskMemFree(errors);
        ComPtr<IOPCSyncIO> sync;
        mgt.As(&sync);
        OPCITEMSTATE* states = nullptr;
        if (sync->Read(OPC_DS_DEVICE, 1, &h, &states, &errors) == S_OK) {
            VARIANT r8;
            VariantInit(&r8);
            if (SUCCEEDED(VariantChangeType(&r8, &states[0].vDataValue, 0, VT_R8)))
                value = r8.dblVal;
            VariantClear(&states[0].vDataValue);
            CoTaskMemFree(states);
            CoTaskMemFree(errors);
        }
    }
    mgt.Reset();
    server->RemoveGroup(hGroup, TRUE);
    return value;
}
}  // namespace

// The doomed client: runs in a child process, never returns.
int RunDyingClient()
{
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    ComPtr<IOPCServer> server;
    if (FAILED(CoCreateInstance(CLSID_OPCServer, nullptr, CLSCTX_LOCAL_SERVER, IID_IOPCServer,
                                reinterpret_cast<void**>(server.GetAddressOf()))))
        return 1;
    static AdviseSinkSpy sink;
    static DataCallbackSpy callback;
    for (int g = 0; g < 2; ++g) {
        std::vector<OPCHANDLE> h;
        auto mgt = ActiveGroup(server.Get(), g ? L"dying2" : L"dying1", 50, 900 + g * 10, 10, &h);
        if (g == 0) {
            ComPtr<IDataObject> data;
            mgt.As(&data);
            FORMATETC fe = {static_cast<CLIPFORMAT>(RegisterClipboardFormatW(L"OPCSTMFORMATDATATIME")), nullptr,
                            DVASPECT_CONTENT, -1, TYMED_HGLOBAL};
            DWORD connection = 0;
            data->DAdvise(&fe, 0, &sink, &connection);
            ComPtr<IOPCAsyncIO> async;
            mgt.As(&async);
            for (int i = 0; i < 20; ++i) {
                DWORD tid;
                HRESULT* errors = nullptr;
                async->Read(connection, OPC_DS_DEVICE, static_cast<DWORD>(h.size()), h.data(), &tid, &errors);
                CoTaskMemFree(errors);
            }
            data.Detach();
        } else {
            ComPtr<IConnectionPointContainer> cpc;
            mgt.As(&cpc);
            ComPtr<IConnectionPoint> cp;
            cpc->FindConnectionPoint(IID_IOPCDataCallback, cp.GetAddressOf());
            DWORD cookie = 0;
            cp->Advise(&callback, &cookie);
            ComPtr<IOPCAsyncIO2> async;
            mgt.As(&async);
            for (int i = 0; i < 20; ++i) {
                DWORD cancelId;
                HRESULT* errors = nullptr;
                async->Read(static_cast<DWORD>(h.size()), h.data(), 1 + i, &cancelId, &errors);
                CoTaskMemFree(errors);
            }
            cp.Detach();
        }
        mgt.Detach();  // kept: the process dies holding them
    }
    server.Detach();
    printf("ready\n");
    fflush(stdout);
    Sleep(INFINITE);
    return 0;
}

TEST(DyingClient, OthersKeepReceivingAndNewClientsAreServed)
{
    ASSERT_TRUE(e2e::WaitNoServer());
    ComPtr<IOPCServer> server;
    ASSERT_EQ(S_OK, CoCreateInstance(CLSID_OPCServer, nullptr, CLSCTX_LOCAL_SERVER, IID_IOPCServer,
                                     reinterpret_cast<void**>(server.GetAddressOf())));
    HANDLE serverProcess = e2e::OpenServerProcess();
    ASSERT_NE(nullptr, serverProcess);
    TimingSink sink;
    {
        std::vector<OPCHANDLE> h;
        auto mgt = ActiveGroup(server.Get(), L"survivor", 100, 950, 5, &h);
        ComPtr<IDataObject> data;
        mgt.As(&data);
        FORMATETC fe = {static_cast<CLIPFORMAT>(RegisterClipboardFormatW(L"OPCSTMFORMATDATA")), nullptr,
                        DVASPECT_CONTENT, -1, TYMED_HGLOBAL};
        DWORD connection = 0;
        ASSERT_EQ(S_OK, data->DAdvise(&fe, 0, &sink, &connection));
        ComPtr<IConnectionPointContainer> cpc;
        mgt.As(&cpc);
        ComPtr<IConnectionPoint> cp;
        ASSERT_EQ(S_OK, cpc->FindConnectionPoint(IID_IOPCDataCallback, cp.GetAddressOf()));
        DataCallbackSpy callback;
        DWORD cookie = 0;
        ASSERT_EQ(S_OK, cp->Advise(&callback, &cookie));

        DWORD killedAt = StartAndKillDyingClient();
        ASSERT_NE(0u, killedAt);
        const size_t callbacksAtKill = callback.count();

        Sleep(3000);  // the server keeps calling the dead client's sinks meanwhile
        EXPECT_GE(callback.count() - callbacksAtKill, 15u) << "callbacks after the other client died";
        {
            std::lock_guard<std::mutex> lock(sink.mutex);
            DWORD maxGap = 0, after = 0;
            for (size_t i = 1; i < sink.arrivals.size(); ++i) {
                maxGap = std::max(maxGap, sink.arrivals[i] - sink.arrivals[i - 1]);
                if (sink.arrivals[i] > killedAt)
                    ++after;
            }
            EXPECT_LE(maxGap, 1000u) << "longest gap between data changes";
            EXPECT_GE(after, 15u) << "data changes after the other client died";
        }

        // Within 10 s of its death the dead client's items are gone.
        double fct = 2;
        while (fct == 2 && GetTickCount() - killedAt < 10000) {
            fct = ProbeFunctionOfSet900(server.Get());
            if (fct == 2)
                Sleep(250);
        }
        EXPECT_NE(2, fct) << "set 900 still has the dead client's function after 10 s";
        EXPECT_GE(fct, 0);

        // A new client is served.
        ComPtr<IOPCServer> another;
        ASSERT_EQ(S_OK, CoCreateInstance(CLSID_OPCServer, nullptr, CLSCTX_LOCAL_SERVER, IID_IOPCServer,
                                         reinterpret_cast<void**>(another.GetAddressOf())));
        OPCSERVERSTATUS* status = nullptr;
        ASSERT_EQ(S_OK, another->GetStatus(&status));
        EXPECT_EQ(OPC_STATUS_RUNNING, status->dwServerState);
        CoTaskMemFree(status->szVendorInfo);
        CoTaskMemFree(status);
        data->DUnadvise(connection);
        EXPECT_EQ(S_OK, cp->Unadvise(cookie));
    }
    server.Reset();

    // The last living client has gone: the server ends by itself.
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(serverProcess, 15000));
    DWORD code = 1;
    GetExitCodeProcess(serverProcess, &code);
    EXPECT_EQ(0u, code);
    TerminateProcess(serverProcess, 0);  // only if it did not end
    CloseHandle(serverProcess);
    EXPECT_TRUE(e2e::WaitNoServer());
}

TEST(DyingClient, ServerWhoseOnlyClientDiedEndsWithZero)
{
    ASSERT_TRUE(e2e::WaitNoServer());
    HANDLE serverProcess = nullptr;
    DWORD killedAt = StartAndKillDyingClient();
    ASSERT_NE(0u, killedAt);
    serverProcess = e2e::OpenServerProcess();
    if (serverProcess) {  // it may have ended already
        EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(serverProcess, 15000));
        DWORD code = 1;
        GetExitCodeProcess(serverProcess, &code);
        EXPECT_EQ(0u, code);
        TerminateProcess(serverProcess, 0);
        CloseHandle(serverProcess);
    }
    EXPECT_TRUE(e2e::WaitNoServer(15000 - std::min<DWORD>(15000, GetTickCount() - killedAt)));
}
