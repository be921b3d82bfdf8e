// Activation across processes: creation by ProgID, status, process lifetime.
#include "common/OpcDefs.h"
#include "E2eUtil.h"
#include "VantrelVersion.h"

#include <gtest/gtest.h>
#include <wrl/client.h>

#include <string>
#include <vector>

namespace {
bool IsZero(const FILETIME& ft) { return ft.dwLowDateTime == 0 && ft.dwHighDateTime == 0; }

IOPCServer* CreateServerByProgId()
{
    CLSID clsid;
    EXPECT_EQ(S_OK, CLSIDFromProgID(L"Korvell.Vantrel", &clsid));
    EXPECT_TRUE(IsEqualCLSID(clsid, CLSID_OPCServer));
    IOPCServer* server = nullptr;
    HRESULT hr = CoCreateInstance(clsid, nullptr, CLSCTX_LOCAL_SERVER, IID_IOPCServer,
                                  reinterpret_cast<void**>(&server));
    EXPECT_EQ(S_OK, hr);
    return server;
}
}  // namespace

TEST(Activation, StatusThroughTheProxyAndTheProcessEndsWithZero)
{
    ASSERT_TRUE(e2e::WaitNoServer());
    IOPCServer* server = CreateServerByProgId();
    ASSERT_NE(nullptr, server);
    HANDLE process = e2e::OpenServerProcess();
    ASSERT_NE(nullptr, process);

    OPCSERVERSTATUS* status = nullptr;
    ASSERT_EQ(S_OK, server->GetStatus(&status));
    ASSERT_NE(nullptr, status);
    EXPECT_STREQ(L"Korvell", status->szVendorInfo);
    EXPECT_EQ(1, status->wMajorVersion);
    EXPECT_EQ(0, status->wMinorVersion);
    EXPECT_EQ(0, status->wBuildNumber);
    EXPECT_EQ(OPC_STATUS_RUNNING, status->dwServerState);
    EXPECT_EQ(0xFFFFFFFFu, status->dwBandWidth);
    EXPECT_FALSE(IsZero(status->ftStartTime));
    EXPECT_TRUE(IsZero(status->ftLastUpdateTime));
    EXPECT_EQ(0u, status->dwGroupCount);
    CoTaskMemFree(status->szVendorInfo);
    CoTaskMemFree(status);

    LPWSTR text = nullptr;
    HRESULT hrText = server->GetErrorString(E_OUTOFMEMORY, 0, &text);
    EXPECT_EQ(S_OK, hrText);
    EXPECT_NE(nullptr, text);
    CoTaskMemFree(text);

    server->Release();
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(process, 10000));
    DWORD code = 1234;
    GetExitCodeProcess(process, &code);
    EXPECT_EQ(0u, code);
    CloseHandle(process);
}

// A browse object asked for at creation belongs to the server object: it
// answers for the server's interfaces with the server's own, and the process
// ends with its last release. (Across processes COM keeps one proxy per
// interface of an object: the client asking the server again for the browse
// interface gets the same browse object back.)
TEST(Activation, ABrowseObjectAtCreationIsTheServersAndTheProcessEnds)
{
    ASSERT_TRUE(e2e::WaitNoServer());
    IOPCBrowseServerAddressSpace* browse = nullptr;
    ASSERT_EQ(S_OK, CoCreateInstance(CLSID_OPCServer, nullptr, CLSCTX_LOCAL_SERVER, IID_IOPCBrowseServerAddressSpace,
                                     reinterpret_cast<void**>(&browse)));
    HANDLE process = e2e::OpenServerProcess();
    ASSERT_NE(nullptr, process);
    IOPCServer* server = nullptr;
    ASSERT_EQ(S_OK, browse->QueryInterface(IID_IOPCServer, reinterpret_cast<void**>(&server)));
    IUnknown* a = nullptr;
    IUnknown* b = nullptr;
    ASSERT_EQ(S_OK, browse->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&a)));
    ASSERT_EQ(S_OK, server->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&b)));
    EXPECT_EQ(a, b);
    a->Release();
    b->Release();
    ASSERT_EQ(S_OK, browse->ChangeBrowsePosition(OPC_BROWSE_DOWN, L"setX"));
    IOPCBrowseServerAddressSpace* again = nullptr;
    ASSERT_EQ(S_OK, server->QueryInterface(IID_IOPCBrowseServerAddressSpace, reinterpret_cast<void**>(&again)));
    LPWSTR here = nullptr;
    ASSERT_EQ(S_OK, again->GetItemID(const_cast<wchar_t*>(L"period"), &here));
    EXPECT_STREQ(L"setX.period", here);
    CoTaskMemFree(here);
    again->Release();
    server->Release();
    browse->Release();
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(process, 10000)) << "the server process did not end";
    CloseHandle(process);
}

TEST(Activation, LockServerKeepsTheProcessAlive)
{
    ASSERT_TRUE(e2e::WaitNoServer());
    Microsoft::WRL::ComPtr<IClassFactory> factory;
    ASSERT_EQ(S_OK, CoGetClassObject(CLSID_OPCServer, CLSCTX_LOCAL_SERVER, nullptr, IID_IClassFactory,
                                     reinterpret_cast<void**>(factory.GetAddressOf())));
    Microsoft::WRL::ComPtr<IOPCServer> server;
    ASSERT_EQ(S_OK, factory->CreateInstance(nullptr, IID_IOPCServer, reinterpret_cast<void**>(server.GetAddressOf())));
    HANDLE process = e2e::OpenServerProcess();
    ASSERT_NE(nullptr, process);

    // An outer unknown is refused: objects of another process cannot be aggregated.
    struct Outer : IUnknown {
        STDMETHODIMP QueryInterface(REFIID, void** ppv) override { *ppv = nullptr; return E_NOINTERFACE; }
        STDMETHODIMP_(ULONG) AddRef() override { return 2; }
        STDMETHODIMP_(ULONG) Release() override { return 1; }
    } outer;
    IUnknown* aggregated = nullptr;
    EXPECT_EQ(CLASS_E_NOAGGREGATION,
              factory->CreateInstance(&outer, IID_IOPCServer, reinterpret_cast<void**>(&aggregated)));
    EXPECT_EQ(nullptr, aggregated);

    HRESULT lock = factory->LockServer(TRUE);
    if (lock == E_NOTIMPL) {
        // Wine's system proxy of IClassFactory does not carry LockServer to
        // the server (it answers E_NOTIMPL itself); the lock's effect on the
        // process is checked in-process there (ProcessLock tests).
        server.Reset();
        factory.Reset();
        EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(process, 10000));
        CloseHandle(process);
        GTEST_SKIP() << "IClassFactory::LockServer is not marshalled by this platform's proxy";
    }
    ASSERT_EQ(S_OK, lock);
    server.Reset();
    // Every object is gone, the lock holds the process.
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(process, 1500));
    ASSERT_EQ(S_OK, factory->LockServer(FALSE));
    factory.Reset();
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(process, 10000));
    DWORD code = 1234;
    GetExitCodeProcess(process, &code);
    EXPECT_EQ(0u, code);
    CloseHandle(process);
}

// The version lives once (the build's project version): the server's status
// and the version resource of each shipped binary carry it.
TEST(Activation, VersionOfTheStatusAndOfEveryShippedBinary)
{
    IOPCServer* server = CreateServerByProgId();
    ASSERT_NE(nullptr, server);
    OPCSERVERSTATUS* status = nullptr;
    ASSERT_EQ(S_OK, server->GetStatus(&status));
    EXPECT_EQ(VANTREL_VERSION_MAJOR, status->wMajorVersion);
    EXPECT_EQ(VANTREL_VERSION_MINOR, status->wMinorVersion);
    EXPECT_EQ(VANTREL_VERSION_PATCH, status->wBuildNumber);
    CoTaskMemFree(status->szVendorInfo);
    CoTaskMemFree(status);
    server->Release();

    for (const wchar_t* file : {L"Vantrel.exe", L"opcda-client.exe", L"vantrel_ps.dll", L"vantrel-serverlist.exe"}) {
        const std::wstring path = e2e::BuildDir() + L"\\" + file;
        DWORD ignored = 0;
        DWORD size = GetFileVersionInfoSizeW(path.c_str(), &ignored);
        ASSERT_NE(0u, size) << file;
        std::vector<BYTE> info(size);
        ASSERT_TRUE(GetFileVersionInfoW(path.c_str(), 0, size, info.data()));
        auto text = [&](const wchar_t* name) -> std::wstring {
            wchar_t* value = nullptr;
            UINT length = 0;
            std::wstring key = std::wstring(L"\\StringFileInfo\\040904b0\\") + name;
            return VerQueryValueW(info.data(), key.c_str(), reinterpret_cast<void**>(&value), &length) && value
                       ? value
                       : L"";
        };
        EXPECT_EQ(L"Korvell", text(L"CompanyName")) << file;
        EXPECT_EQ(L"Vantrel", text(L"ProductName")) << file;
        EXPECT_EQ(VANTREL_VERSION_TEXT, text(L"FileVersion")) << file;
        EXPECT_EQ(VANTREL_VERSION_TEXT, text(L"ProductVersion")) << file;
        EXPECT_FALSE(text(L"FileDescription").empty()) << file;
        VS_FIXEDFILEINFO* fixed = nullptr;
        UINT length = 0;
        ASSERT_TRUE(VerQueryValueW(info.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
        EXPECT_EQ(static_cast<DWORD>(MAKELONG(VANTREL_VERSION_MINOR, VANTREL_VERSION_MAJOR)), fixed->dwFileVersionMS)
            << file;
        EXPECT_EQ(static_cast<DWORD>(MAKELONG(0, VANTREL_VERSION_PATCH)), fixed->dwFileVersionLS) << file;
    }
}
