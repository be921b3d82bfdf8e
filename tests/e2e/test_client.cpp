// The command-line client against the running server: exit codes and output.
#include "E2eUtil.h"

#include <gtest/gtest.h>

#include <string>

namespace {
struct Result {
    long code;
    std::string out;
    std::string err;
};

std::string ReadAll(HANDLE h)
{
    std::string s;
    char buf[4096];
    DWORD n = 0;
    while (ReadFile(h, buf, sizeof(buf), &n, nullptr) && n > 0)
        s.append(buf, n);
    std::string lf;  // text-mode output ends lines with CR LF
    for (char c : s)
        if (c != '\r')
            lf += c;
    return lf;
}

// Runs the client with arguments and collects its output.
Result RunClient(const std::wstring& args)
{
    SECURITY_ATTRIBUTES sa = {sizeof(sa), nullptr, TRUE};
    HANDLE outRead, outWrite, errRead, errWrite;
    CreatePipe(&outRead, &outWrite, &sa, 0);
    CreatePipe(&errRead, &errWrite, &sa, 0);
    SetHandleInformation(outRead, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(errRead, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOW si = {};
    si.cb = sizeof(si);
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdOutput = outWrite;
    si.hStdError = errWrite;
    si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    PROCESS_INFORMATION pi = {};
    std::wstring cmd = L"\"" + e2e::BuildDir() + L"\\opcda-client.exe\" " + args;
    std::vector<wchar_t> buf(cmd.begin(), cmd.end());
    buf.push_back(0);
    Result r{-1, "", ""};
    if (!CreateProcessW(nullptr, buf.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi))
        return r;
    CloseHandle(outWrite);
    CloseHandle(errWrite);
    r.out = ReadAll(outRead);
    r.err = ReadAll(errRead);
    WaitForSingleObject(pi.hProcess, 60000);
    DWORD code = 0;
    GetExitCodeProcess(pi.hProcess, &code);
    r.code = static_cast<long>(code);
    CloseHandle(pi.hProcess);
    CloseHandle(pi.hThread);
    CloseHandle(outRead);
    CloseHandle(errRead);
    return r;
}

bool Has(const std::string& s, const char* what) { return s.find(what) != std::string::npos; }
}  // namespace

TEST(Client, StatusAndBrowse)
{
    ASSERT_TRUE(e2e::WaitNoServer());
    Result r = RunClient(L"status");
    EXPECT_EQ(0, r.code) << r.err;
    EXPECT_TRUE(Has(r.out, "Vendor:       Korvell"));
    EXPECT_TRUE(Has(r.out, "State:        running"));
    r = RunClient(L"browse --flat --filter *o*");
    EXPECT_EQ(0, r.code);
    EXPECT_EQ("setX.on\nsetX.period\n", r.out);
    r = RunClient(L"browse");
    EXPECT_TRUE(Has(r.out, "setX/"));
    EXPECT_TRUE(Has(r.out, "itemY  (setX.itemY)"));
}

TEST(Client, ReadWriteAndErrors)
{
    ASSERT_TRUE(e2e::WaitNoServer());
    Result r = RunClient(L"read --csv set4.period set4.t0 set4.on");
    EXPECT_EQ(0, r.code) << r.err;
    EXPECT_TRUE(Has(r.out, "item,value,type,quality,local time,utc time\n"));
    EXPECT_TRUE(Has(r.out, "set4.period,1000,R8,0xC0 GOOD,"));
    EXPECT_TRUE(Has(r.out, "set4.t0,0,I4,0xC0 GOOD,"));
    EXPECT_TRUE(Has(r.out, "set4.on,false,BOOL,"));

    r = RunClient(L"read set4.nope");
    EXPECT_EQ(1, r.code);
    EXPECT_TRUE(Has(r.err, "set4.nope: 0xC0040007 OPC_E_UNKNOWNITEMID (The item ID is not defined in the server's "
                           "address space)"))
        << r.err;
    EXPECT_FALSE(Has(r.err, "Exception"));

    r = RunClient(L"write set4.period=250 set4.item=1 set4.on=maybe");
    EXPECT_EQ(1, r.code);
    EXPECT_TRUE(Has(r.out, "set4.period = 250: written"));
    EXPECT_TRUE(Has(r.err, "set4.item: 0x80004005 E_FAIL"));
    EXPECT_TRUE(Has(r.err, "set4.on: 'maybe' is not a BOOL value"));

    r = RunClient(L"write set4.period");
    EXPECT_EQ(2, r.code);
    r = RunClient(L"frobnicate");
    EXPECT_EQ(2, r.code);
}

// Through IOPCDataCallback by default, through the 1.0a streams with --da1.
TEST(Client, WatchReceivesChangesOfSignalsItSwitchedOn)
{
    for (const wchar_t* version : {L"", L"--da1 "}) {
        ASSERT_TRUE(e2e::WaitNoServer());
        Result r = RunClient(std::wstring(version) +
                             L"watch --rate 100 --count 6 --csv --write set8.on=on --write set8.fct=Ramp set8.item");
        EXPECT_EQ(0, r.code) << r.err;
        size_t lines = 0;
        for (size_t p = r.out.find("set8.item,"); p != std::string::npos; p = r.out.find("set8.item,", p + 1))
            ++lines;
        EXPECT_GE(lines, 6u) << r.out;
        EXPECT_TRUE(Has(r.out, ",R8,0xC0 GOOD,"));
    }
}

TEST(Client, SpeaksDa2WhereOfferedAnd10aOnRequest)
{
    ASSERT_TRUE(e2e::WaitNoServer());
    Result r = RunClient(L"--da2 status");
    EXPECT_TRUE(Has(r.out, "Protocol:     OPC DA 2.0\nLocale:       0x0800\nClient name:  opcda-client\n")) << r.out;
    r = RunClient(L"--da1 status");
    EXPECT_TRUE(Has(r.out, "Protocol:     OPC DA 1.0a\n"));
    EXPECT_FALSE(Has(r.out, "Locale:"));

    for (const wchar_t* version : {L"--da2 ", L""}) {  // IOPCItemProperties, IOPCBrowse::GetProperties
        r = RunClient(std::wstring(version) + L"properties set4.period set4.nope");
        EXPECT_EQ(1, r.code);
        EXPECT_TRUE(Has(r.out, "set4.period\n     1  Item Canonical Data Type     I2     5\n")) << r.out;
        EXPECT_TRUE(Has(r.out, "     2  Item Value                   R8     1000\n"));
        EXPECT_TRUE(Has(r.err, "set4.nope: 0xC0040007 OPC_E_UNKNOWNITEMID"));
    }
    r = RunClient(L"properties --da1 set4.period");
    EXPECT_EQ(4, r.code);

    for (const wchar_t* version : {L"", L"--da1 "}) {
        const std::wstring v = version;
        r = RunClient(v + L"async read set4.period set4.on");
        EXPECT_EQ(0, r.code) << r.err;
        EXPECT_TRUE(Has(r.out, "] set4.period          1000 ")) << r.out;
        EXPECT_TRUE(Has(r.out, "] set4.on              false ")) << r.out;
        EXPECT_TRUE(Has(r.out, " completed\n"));
        r = RunClient(v + L"async write set4.period=250 set4.item=1");
        EXPECT_EQ(0, r.code) << r.err;
        EXPECT_TRUE(Has(r.out, "): set4.period: 0x00000000 S_OK\n")) << r.out;
        EXPECT_TRUE(Has(r.out, "): set4.item: 0x80004005 E_FAIL"));
        r = RunClient(v + L"async refresh --cache set4.period");
        EXPECT_EQ(0, r.code) << r.err;
        EXPECT_TRUE(Has(r.out, "] set4.period ")) << r.out;
        // Cancelled in the queue or too late: either way it is said and ends.
        r = RunClient(v + L"async cancel set4.period");
        EXPECT_EQ(0, r.code) << r.err;
        EXPECT_TRUE(Has(r.out, " cancelled\n") || Has(r.out, "could not be cancelled any more")) << r.out;
    }
    EXPECT_TRUE(Has(RunClient(L"async read set4.period").out, "(cancel ID "));  // the 2.0 path
}

TEST(Client, SpeaksDa3WhereOffered)
{
    ASSERT_TRUE(e2e::WaitNoServer());
    Result r = RunClient(L"status");
    EXPECT_TRUE(Has(r.out, "Protocol:     OPC DA 3.0\n")) << r.out;

    // Pages of two through continuation points, the same tree as without.
    r = RunClient(L"browse --max 2");
    EXPECT_EQ(0, r.code) << r.err;
    EXPECT_TRUE(Has(r.out, "  (page 2, continuation point VTB1:")) << r.out;
    EXPECT_TRUE(Has(r.out, "  period  (setX.period)"));
    EXPECT_EQ(2, RunClient(L"--da2 browse --max 2").code);
    r = RunClient(L"browse --flat --max 1");
    EXPECT_EQ("setX.T0\nsetX.fct\nsetX.itemY\nsetX.on\nsetX.period\n", r.out);

    r = RunClient(L"read --max-age 0 set4.period set4.nope");
    EXPECT_EQ(1, r.code);
    EXPECT_TRUE(Has(r.out, "set4.period          1000 ")) << r.out;
    EXPECT_TRUE(Has(r.err, "set4.nope: 0xC0040007 OPC_E_UNKNOWNITEMID"));
    EXPECT_EQ(2, RunClient(L"--da2 read --max-age 0 set4.period").code);

    r = RunClient(L"write --vqt set4.period=250 set4.fct=Ramp");
    EXPECT_EQ(0, r.code) << r.err;
    EXPECT_TRUE(Has(r.out, "set4.period = 250: written"));
    r = RunClient(L"write --vqt --quality 192 set4.period=250");
    EXPECT_EQ(1, r.code);
    EXPECT_TRUE(Has(r.err, "set4.period: 0xC0040406 OPC_E_NOTSUPPORTED")) << r.err;

    // A quiet item: after its first value only keep-alive callbacks come.
    r = RunClient(L"watch --rate 100 --keep-alive 250 --for 2 set4.period");
    EXPECT_EQ(0, r.code) << r.err;
    EXPECT_TRUE(Has(r.out, "keep-alive: requested 250 ms, revised 300 ms\n")) << r.out;
    size_t keepAlives = 0;
    for (size_t p = r.out.find("\nkeep-alive "); p != std::string::npos; p = r.out.find("\nkeep-alive ", p + 1))
        ++keepAlives;
    EXPECT_GE(keepAlives, 4u) << r.out;
    EXPECT_LE(keepAlives, 8u) << r.out;
}

TEST(Client, ServerThatCannotBeReached)
{
    Result r = RunClient(L"--progid Korvell.NoSuchServer status");
    EXPECT_EQ(3, r.code);
    EXPECT_TRUE(Has(r.err, "is not registered"));
    EXPECT_TRUE(Has(r.err, "0x"));
}

// The OPC DA servers of the machine, through the OPC server list.
TEST(Client, ListsTheServersThroughTheServerList)
{
    Result r = RunClient(L"servers");
    EXPECT_EQ(0, r.code) << r.err;
    EXPECT_TRUE(Has(r.out, "{2720C8CC-C3A9-42F3-90D2-FAA16CC53782}  Korvell.Vantrel.1")) << r.out;
    EXPECT_TRUE(Has(r.out, "Korvell.Vantrel ")) << r.out;
    EXPECT_TRUE(Has(r.out, "DA1.0 DA2.0 DA3.0")) << r.out;
}
