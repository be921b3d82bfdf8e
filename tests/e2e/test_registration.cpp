// Registration: -RegServer writes what OPC clients and server browsers look
// for, -UnregServer removes it again; the switch rules of the command line.
#include "common/OpcDefs.h"
#include "E2eUtil.h"

#include <comcat.h>
#include <gtest/gtest.h>

namespace {
const wchar_t kClsidKey[] = L"CLSID\\{2720C8CC-C3A9-42F3-90D2-FAA16CC53782}";
const wchar_t kCatKey[] = L"Component Categories\\{63D5F430-CFE4-11D1-B2C8-0060083BA1FB}";
const wchar_t kCat20Key[] = L"Component Categories\\{63D5F432-CFE4-11D1-B2C8-0060083BA1FB}";
const GUID kCatDa20 = {0x63D5F432, 0xCFE4, 0x11D1, {0xB2, 0xC8, 0x00, 0x60, 0x08, 0x3B, 0xA1, 0xFB}};
const wchar_t kCat30Key[] = L"Component Categories\\{CC603642-66D7-48F1-B69A-B625E73652D7}";
const GUID kCatDa30 = {0xCC603642, 0x66D7, 0x48F1, {0xB6, 0x9A, 0xB6, 0x25, 0xE7, 0x36, 0x52, 0xD7}};

// Whether the platform's category manager lists the class in the category,
// as a server browser asks it.
bool ListedInCategory(const GUID& catid)
{
    ICatInformation* info = nullptr;
    if (FAILED(CoCreateInstance(CLSID_StdComponentCategoriesMgr, nullptr, CLSCTX_INPROC_SERVER,
                                IID_ICatInformation, reinterpret_cast<void**>(&info))))
        return false;
    IEnumCLSID* classes = nullptr;
    CATID cats[] = {catid};
    bool found = false;
    if (SUCCEEDED(info->EnumClassesOfCategories(1, cats, static_cast<ULONG>(-1), nullptr, &classes))) {
        CLSID clsid;
        ULONG fetched = 0;
        while (classes->Next(1, &clsid, &fetched) == S_OK)
            found = found || IsEqualCLSID(clsid, CLSID_OPCServer);
        classes->Release();
    }
    info->Release();
    return found;
}

std::wstring Quoted(const std::wstring& s) { return L"\"" + s + L"\""; }

void ExpectRegistered()
{
    HKEY cr = HKEY_CLASSES_ROOT;
    std::wstring clsid = L"{2720C8CC-C3A9-42F3-90D2-FAA16CC53782}";
    EXPECT_EQ(clsid, e2e::ReadString(cr, L"Korvell.Vantrel.1\\CLSID", nullptr));
    EXPECT_EQ(clsid, e2e::ReadString(cr, L"Korvell.Vantrel\\CLSID", nullptr));
    EXPECT_EQ(L"Korvell", e2e::ReadString(cr, L"Korvell.Vantrel.1\\OPC\\Vendor", nullptr));
    EXPECT_EQ(L"Korvell.Vantrel.1", e2e::ReadString(cr, std::wstring(kClsidKey) + L"\\ProgID", nullptr));
    EXPECT_EQ(L"Korvell.Vantrel",
              e2e::ReadString(cr, std::wstring(kClsidKey) + L"\\VersionIndependentProgID", nullptr));
    std::wstring server = e2e::ReadString(cr, std::wstring(kClsidKey) + L"\\LocalServer32", nullptr);
    EXPECT_EQ(0, lstrcmpiW(e2e::ServerExe().c_str(), server.c_str())) << server.c_str();
    EXPECT_TRUE(e2e::KeyExists(
        cr, std::wstring(kClsidKey) + L"\\Implemented Categories\\{63D5F430-CFE4-11D1-B2C8-0060083BA1FB}"));
    EXPECT_EQ(L"OPC Data Access Servers Version 1.0", e2e::ReadString(cr, kCatKey, L"409"));
    EXPECT_TRUE(e2e::KeyExists(
        cr, std::wstring(kClsidKey) + L"\\Implemented Categories\\{63D5F432-CFE4-11D1-B2C8-0060083BA1FB}"));
    EXPECT_EQ(L"OPC Data Access Servers Version 2.0", e2e::ReadString(cr, kCat20Key, L"409"));
    EXPECT_TRUE(ListedInCategory(kCatDa20));
    EXPECT_EQ(L"OPC Data Access Servers Version 3.0", e2e::ReadString(cr, kCat30Key, L"409"));
    EXPECT_TRUE(ListedInCategory(kCatDa30));
    EXPECT_TRUE(e2e::KeyExists(cr, L"TypeLib\\{1816A7B3-BCFE-4E9D-9CED-9FB33F242552}"));
}
}  // namespace

TEST(Registration, RegServerWritesAndUnregServerRemovesTheKeys)
{
    ASSERT_TRUE(e2e::WaitNoServer());
    EXPECT_EQ(0, e2e::RunProcess(Quoted(e2e::ServerExe()) + L" -RegServer"));
    ExpectRegistered();

    EXPECT_EQ(0, e2e::RunProcess(Quoted(e2e::ServerExe()) + L" /UNREGSERVER"));
    HKEY cr = HKEY_CLASSES_ROOT;
    EXPECT_FALSE(e2e::KeyExists(cr, kClsidKey));
    EXPECT_FALSE(e2e::KeyExists(cr, L"Korvell.Vantrel.1"));
    EXPECT_FALSE(e2e::KeyExists(cr, L"Korvell.Vantrel"));
    // The categories belong to every OPC DA server: they stay, without us.
    EXPECT_EQ(L"OPC Data Access Servers Version 1.0", e2e::ReadString(cr, kCatKey, L"409"));
    EXPECT_EQ(L"OPC Data Access Servers Version 2.0", e2e::ReadString(cr, kCat20Key, L"409"));
    EXPECT_FALSE(ListedInCategory(kCatDa20));
    EXPECT_FALSE(ListedInCategory(kCatDa30));
    // Unregistering twice still exits with 0.
    EXPECT_EQ(0, e2e::RunProcess(Quoted(e2e::ServerExe()) + L" -unregserver"));

    // Leave the server registered for the other tests.
    EXPECT_EQ(0, e2e::RunProcess(Quoted(e2e::ServerExe()) + L" /regserver"));
    ExpectRegistered();
}

TEST(Registration, SwitchFollowedByAnythingStartsServingInstead)
{
    ASSERT_TRUE(e2e::WaitNoServer());
    // With a blank after the switch the process serves: it registers its
    // class object and waits for clients. A client then reaches this very
    // process, and releasing it ends the process with 0.
    STARTUPINFOW si = {};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi = {};
    std::wstring cmd = Quoted(e2e::ServerExe()) + L" -RegServer ";
    std::vector<wchar_t> buf(cmd.begin(), cmd.end());
    buf.push_back(0);
    ASSERT_TRUE(CreateProcessW(nullptr, buf.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi));
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(pi.hProcess, 1000));

    IOPCServer* server = nullptr;
    ASSERT_EQ(S_OK, CoCreateInstance(CLSID_OPCServer, nullptr, CLSCTX_LOCAL_SERVER, IID_IOPCServer,
                                     reinterpret_cast<void**>(&server)));
    EXPECT_EQ(1u, e2e::ProcessIdsNamed(L"Vantrel.exe").size());
    server->Release();
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(pi.hProcess, 10000));
    DWORD code = 1234;
    GetExitCodeProcess(pi.hProcess, &code);
    EXPECT_EQ(0u, code);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
}
