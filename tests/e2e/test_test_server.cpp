// The test server class across processes: its own process, its tree, echo
// read-back of every type and array on every write path, random items, the
// fault items on every read path, and an injected quality in the streams
// and the callback.
#include "common/OpcDefs.h"
#include "AdviseSinkSpy.h"
#include "DataCallbackSpy.h"
#include "E2eUtil.h"
#include "TestServerClient.h"

#include <gtest/gtest.h>
#include <wrl/client.h>

#include <ocidl.h>

#include <string>
#include <vector>

using Microsoft::WRL::ComPtr;

using namespace test_server;

TEST(TestServer, ItsOwnProcessAndTheMainClassUnchanged)
{
    ASSERT_TRUE(e2e::WaitNoServer());
    CLSID clsid;
    ASSERT_EQ(S_OK, CLSIDFromProgID(VANTREL_TEST_PROGID, &clsid));
    EXPECT_TRUE(IsEqualCLSID(CLSID_OPCTestServer, clsid));
    ASSERT_EQ(S_OK, CLSIDFromProgID(VANTREL_TEST_VI_PROGID, &clsid));
    EXPECT_TRUE(IsEqualCLSID(CLSID_OPCTestServer, clsid));
    ComPtr<IOPCServer> test, main;
    ASSERT_EQ(S_OK, CoCreateInstance(CLSID_OPCTestServer, nullptr, CLSCTX_LOCAL_SERVER, IID_IOPCServer,
                                     reinterpret_cast<void**>(test.GetAddressOf())));
    ASSERT_EQ(S_OK, CoCreateInstance(CLSID_OPCServer, nullptr, CLSCTX_LOCAL_SERVER, IID_IOPCServer,
                                     reinterpret_cast<void**>(main.GetAddressOf())));
    EXPECT_EQ(2u, e2e::ProcessIdsNamed(L"Vantrel.exe").size());  // one process per class
    // The main class knows nothing of the test items.
    ComPtr<IOPCItemProperties> props;
    ASSERT_EQ(S_OK, main.As(&props));
    VARIANT* values = nullptr;
    HRESULT* errors = nullptr;
    DWORD one = 1;
    EXPECT_EQ(OPC_E_UNKNOWNITEMID,
              props->GetItemProperties(const_cast<LPWSTR>(L"echo.i4"), 1, &one, &values, &errors));
    props.Reset();
    // IOPCServer::GetErrorString: the OPC codes' texts from the test class;
    // the main class keeps the specified E_FAIL.
    LPWSTR text = nullptr;
    ASSERT_EQ(S_OK, test->GetErrorString(OPC_E_UNKNOWNITEMID, 0x409, &text));
    EXPECT_STREQ(L"The item ID is not defined in the server's address space.", text);
    CoTaskMemFree(text);
    text = nullptr;
    EXPECT_EQ(E_FAIL, main->GetErrorString(OPC_E_UNKNOWNITEMID, 0x409, &text));
    test.Reset();
    main.Reset();
    EXPECT_TRUE(e2e::WaitNoServer());
}

// The tree lists exactly the documented items, and every leaf is an item
// the server adds, with the browsed type as its canonical type.
TEST(TestServer, EveryLeafOfTheTreeIsAddableWithItsType)
{
    TestServerClient c;
    ASSERT_NO_FATAL_FAILURE(c.Connect());
    ComPtr<IOPCBrowseServerAddressSpace> browse;
    ASSERT_EQ(S_OK, c.server.As(&browse));
    ComPtr<IEnumString> e;
    ASSERT_EQ(S_OK, browse->BrowseOPCItemIDs(OPC_FLAT, L"", VT_EMPTY, 0, e.GetAddressOf()));
    std::vector<std::wstring> ids;
    LPOLESTR s = nullptr;
    while (e->Next(1, &s, nullptr) == S_OK) {
        ids.push_back(s);
        CoTaskMemFree(s);
    }
    EXPECT_EQ(4u * 5 + 2 * 32 + 8, ids.size());
    std::vector<VARTYPE> canonical;
    c.Add(ids, &canonical);
    ASSERT_EQ(ids.size(), canonical.size());
    // The type filter finds each leaf under its canonical type.
    for (size_t i = 0; i < ids.size(); ++i) {
        ComPtr<IEnumString> typed;
        ASSERT_EQ(S_OK, browse->BrowseOPCItemIDs(OPC_FLAT, L"", canonical[i], 0, typed.GetAddressOf()));
        bool found = false;
        while (typed->Next(1, &s, nullptr) == S_OK) {
            found = found || ids[i] == s;
            CoTaskMemFree(s);
        }
        EXPECT_TRUE(found) << ids[i].c_str() << " under type " << canonical[i];
    }
    auto typeOf = [&](const std::wstring& id) -> VARTYPE {
        for (size_t i = 0; i < ids.size(); ++i)
            if (ids[i] == id)
                return canonical[i];
        return VT_ILLEGAL;
    };
    for (size_t k = 0; k < 16; ++k) {
        EXPECT_EQ(kTypeVts[k], typeOf(std::wstring(L"echo.") + kTypes[k])) << kTypes[k];
        EXPECT_EQ(VT_ARRAY | kTypeVts[k], typeOf(std::wstring(L"random.array.") + kTypes[k])) << kTypes[k];
    }
    // Rights: random items are read-only, write_only writable only.
    ComPtr<IEnumString> writable;
    ASSERT_EQ(S_OK, browse->BrowseOPCItemIDs(OPC_FLAT, L"", VT_EMPTY, OPC_WRITEABLE, writable.GetAddressOf()));
    bool randomWritable = false;
    while (writable->Next(1, &s, nullptr) == S_OK) {
        randomWritable = randomWritable || wcsncmp(s, L"random.", 7) == 0;
        CoTaskMemFree(s);
    }
    EXPECT_FALSE(randomWritable);
}

// Echo: what is written through IOPCSyncIO, IOPCAsyncIO2 and
// IOPCItemIO::WriteVQT is what the next read gives, exactly; a VQT write
// keeps its quality and time stamp; a value that cannot be converted fails
// for its item alone.
TEST(TestServer, EchoReadsBackEveryTypeAndArrayOnEveryWritePath)
{
    TestServerClient c;
    ASSERT_NO_FATAL_FAILURE(c.Connect());
    for (bool arrays : {false, true}) {
        std::vector<std::wstring> ids = EchoIds(arrays);
        std::vector<OPCHANDLE> h = c.Add(ids);
        const DWORD n = static_cast<DWORD>(ids.size());
        std::vector<VARIANT> values(n);
        for (DWORD i = 0; i < n; ++i)
            MakeValue(static_cast<VARTYPE>((arrays ? VT_ARRAY : 0) | kTypeVts[i]), 1, &values[i]);
        ComPtr<IOPCSyncIO> sync;
        ASSERT_EQ(S_OK, c.mgt.As(&sync));
        HRESULT* errors = nullptr;
        ASSERT_EQ(S_OK, sync->Write(n, h.data(), values.data(), &errors));
        CoTaskMemFree(errors);
        OPCITEMSTATE* states = nullptr;
        ASSERT_EQ(S_OK, sync->Read(OPC_DS_DEVICE, n, h.data(), &states, &errors));
        for (DWORD i = 0; i < n; ++i) {
            EXPECT_TRUE(Equal(values[i], states[i].vDataValue)) << ids[i].c_str();
            EXPECT_EQ(OPC_QUALITY_GOOD, states[i].wQuality);
            VariantClear(&states[i].vDataValue);
        }
        CoTaskMemFree(states);
        CoTaskMemFree(errors);

        // Through IOPCAsyncIO2: another value, its completion, then a read.
        DataCallbackSpy spy;
        ComPtr<IConnectionPoint> cp;
        DWORD cookie = 0;
        ASSERT_NO_FATAL_FAILURE(c.AdviseCallback(&spy, &cp, &cookie));
        std::vector<VARIANT> again(n);
        for (DWORD i = 0; i < n; ++i)
            MakeValue(static_cast<VARTYPE>((arrays ? VT_ARRAY : 0) | kTypeVts[i]), 0, &again[i]);
        ComPtr<IOPCAsyncIO2> io2;
        ASSERT_EQ(S_OK, c.mgt.As(&io2));
        DWORD cancel = 0;
        ASSERT_EQ(S_OK, io2->Write(n, h.data(), again.data(), 7, &cancel, &errors));
        CoTaskMemFree(errors);
        ASSERT_TRUE(spy.WaitForCompletions(1, 10000));
        {
            std::lock_guard<std::mutex> lock(spy.mutex);
            for (HRESULT e : spy.completions[0].errors)
                EXPECT_EQ(S_OK, e);
        }
        ASSERT_EQ(S_OK, io2->Read(n, h.data(), 8, &cancel, &errors));
        CoTaskMemFree(errors);
        ASSERT_TRUE(spy.WaitForCompletions(2, 10000));
        {
            std::lock_guard<std::mutex> lock(spy.mutex);
            const auto& read = spy.completions[1];
            ASSERT_EQ(n, read.values.size());
            for (DWORD i = 0; i < n; ++i)
                EXPECT_TRUE(Equal(again[i], read.values[i])) << "async " << ids[i].c_str();
        }
        EXPECT_EQ(S_OK, cp->Unadvise(cookie));

        // Through IOPCItemIO: WriteVQT with a quality and a time stamp, Read.
        ComPtr<IOPCItemIO> itemIO;
        ASSERT_EQ(S_OK, c.server.As(&itemIO));
        std::vector<LPCWSTR> names;
        for (auto& id : ids)
            names.push_back(id.c_str());
        std::vector<OPCITEMVQT> vqt(n);
        const FILETIME stamp = {0x12345678, 0x01D00000};
        for (DWORD i = 0; i < n; ++i) {
            vqt[i] = OPCITEMVQT{};
            vqt[i].vDataValue = values[i];
            vqt[i].bQualitySpecified = TRUE;
            vqt[i].wQuality = 0x54;  // UNCERTAIN, with a sub-status
            vqt[i].bTimeStampSpecified = TRUE;
            vqt[i].ftTimeStamp = stamp;
        }
        ASSERT_EQ(S_OK, itemIO->WriteVQT(n, names.data(), vqt.data(), &errors));
        CoTaskMemFree(errors);
        std::vector<DWORD> ages(n, 0);
        VARIANT* read = nullptr;
        WORD* qualities = nullptr;
        FILETIME* times = nullptr;
        ASSERT_EQ(S_OK, itemIO->Read(n, names.data(), ages.data(), &read, &qualities, &times, &errors));
        for (DWORD i = 0; i < n; ++i) {
            EXPECT_TRUE(Equal(values[i], read[i])) << "VQT " << ids[i].c_str();
            EXPECT_EQ(0x54, qualities[i]);
            EXPECT_EQ(0, memcmp(&stamp, &times[i], sizeof(stamp)));
            VariantClear(&read[i]);
        }
        CoTaskMemFree(read);
        CoTaskMemFree(qualities);
        CoTaskMemFree(times);
        CoTaskMemFree(errors);
        for (DWORD i = 0; i < n; ++i) {
            VariantClear(&values[i]);
            VariantClear(&again[i]);
        }
    }
    // Conversions: a string of letters into an I4 fails for that item; an
    // I4 array into an I8 array and an I8 into an INT succeed.
    std::vector<OPCHANDLE> h = c.Add({L"echo.i4", L"echo.array.i8", L"echo.int"});
    VARIANT v[3];
    v[0].vt = VT_BSTR;
    v[0].bstrVal = SysAllocString(L"letters");
    MakeValue(VT_ARRAY | VT_I4, 1, &v[1]);
    v[2].vt = VT_I8;
    v[2].llVal = 123;
    ComPtr<IOPCSyncIO> sync;
    ASSERT_EQ(S_OK, c.mgt.As(&sync));
    HRESULT* errors = nullptr;
    ASSERT_EQ(S_FALSE, sync->Write(3, h.data(), v, &errors));
    EXPECT_EQ(DISP_E_TYPEMISMATCH, errors[0]);
    EXPECT_EQ(S_OK, errors[1]);
    EXPECT_EQ(S_OK, errors[2]);
    CoTaskMemFree(errors);
    for (VARIANT& x : v)
        VariantClear(&x);
}

// Random items change every pass and are GOOD; fault items fail as
// documented on every read path.
TEST(TestServer, RandomItemsChangeAndFaultItemsFailAsDocumented)
{
    TestServerClient c;
    ASSERT_NO_FATAL_FAILURE(c.Connect());
    std::vector<std::wstring> ids;
    for (const wchar_t* t : kTypes) {
        ids.push_back(std::wstring(L"random.") + t);
        ids.push_back(std::wstring(L"random.array.") + t);
    }
    std::vector<OPCHANDLE> h = c.Add(ids);
    ComPtr<IOPCSyncIO> sync;
    ASSERT_EQ(S_OK, c.mgt.As(&sync));
    const DWORD n = static_cast<DWORD>(ids.size());
    OPCITEMSTATE* first = nullptr;
    OPCITEMSTATE* second = nullptr;
    HRESULT* errors = nullptr;
    ASSERT_EQ(S_OK, sync->Read(OPC_DS_DEVICE, n, h.data(), &first, &errors));
    CoTaskMemFree(errors);
    Sleep(30);
    ASSERT_EQ(S_OK, sync->Read(OPC_DS_DEVICE, n, h.data(), &second, &errors));
    CoTaskMemFree(errors);
    int changed = 0;
    for (DWORD i = 0; i < n; ++i) {
        EXPECT_EQ(OPC_QUALITY_GOOD, second[i].wQuality) << ids[i].c_str();
        if (!Equal(first[i].vDataValue, second[i].vDataValue))
            ++changed;
        if (second[i].vDataValue.vt & VT_ARRAY) {
            LONG ub = -1;
            SafeArrayGetUBound(second[i].vDataValue.parray, 1, &ub);
            EXPECT_EQ(7, ub) << ids[i].c_str();
        }
        VariantClear(&first[i].vDataValue);
        VariantClear(&second[i].vDataValue);
    }
    EXPECT_GE(changed, static_cast<int>(n) - 2);  // a bool may repeat itself
    CoTaskMemFree(first);
    CoTaskMemFree(second);

    // The fault items, through the group's cache and device reads and
    // IOPCItemIO.
    std::vector<std::wstring> faults = {L"faults.read_error", L"faults.write_only", L"faults.bad",
                                        L"faults.uncertain", L"faults.write_error"};
    std::vector<OPCHANDLE> fh = c.Add(faults);
    for (OPCDATASOURCE source : {OPC_DS_DEVICE, OPC_DS_CACHE}) {
        OPCITEMSTATE* states = nullptr;
        ASSERT_EQ(S_FALSE, sync->Read(source, 5, fh.data(), &states, &errors));
        EXPECT_EQ(E_FAIL, errors[0]);
        EXPECT_EQ(OPC_QUALITY_BAD, states[0].wQuality & 0xC0);
        EXPECT_EQ(OPC_E_BADRIGHTS, errors[1]);
        EXPECT_EQ(S_OK, errors[2]);
        EXPECT_EQ(0x18, states[2].wQuality);
        EXPECT_EQ(S_OK, errors[3]);
        EXPECT_EQ(0x44, states[3].wQuality);
        EXPECT_EQ(S_OK, errors[4]);
        for (int i = 0; i < 5; ++i)
            VariantClear(&states[i].vDataValue);
        CoTaskMemFree(states);
        CoTaskMemFree(errors);
    }
    ComPtr<IOPCItemIO> itemIO;
    ASSERT_EQ(S_OK, c.server.As(&itemIO));
    LPCWSTR names[2] = {L"faults.read_error", L"faults.write_only"};
    DWORD ages[2] = {0, 0xFFFFFFFF};
    VARIANT* values = nullptr;
    WORD* qualities = nullptr;
    FILETIME* times = nullptr;
    ASSERT_EQ(S_FALSE, itemIO->Read(2, names, ages, &values, &qualities, &times, &errors));
    EXPECT_EQ(E_FAIL, errors[0]);
    EXPECT_EQ(OPC_E_BADRIGHTS, errors[1]);
    CoTaskMemFree(values);
    CoTaskMemFree(qualities);
    CoTaskMemFree(times);
    CoTaskMemFree(errors);
    // Writes: write_error fails, write_only succeeds, random is read-only.
    std::vector<OPCHANDLE> wh = {fh[4], fh[1], h[0]};
    VARIANT w[3];
    for (VARIANT& x : w) {
        x.vt = VT_I4;
        x.lVal = 1;
    }
    ASSERT_EQ(S_FALSE, sync->Write(3, wh.data(), w, &errors));
    EXPECT_EQ(E_FAIL, errors[0]);
    EXPECT_EQ(S_OK, errors[1]);
    EXPECT_EQ(OPC_E_BADRIGHTS, errors[2]);
    CoTaskMemFree(errors);
}

// A quality written to faults.quality is what faults.value reports, in the
// 1.0a streams and the 2.0 callback alike.
TEST(TestServer, AnInjectedQualityReachesTheStreamsAndTheCallback)
{
    TestServerClient c;
    ASSERT_NO_FATAL_FAILURE(c.Connect(TRUE, 100));
    std::vector<OPCHANDLE> h = c.Add({L"faults.value", L"faults.quality"});
    AdviseSinkSpy stream;
    ComPtr<IDataObject> data;
    ASSERT_EQ(S_OK, c.mgt.As(&data));
    FORMATETC fe = {static_cast<CLIPFORMAT>(RegisterClipboardFormatW(L"OPCSTMFORMATDATATIME")), nullptr,
                    DVASPECT_CONTENT, -1, TYMED_HGLOBAL};
    DWORD connection = 0;
    ASSERT_EQ(S_OK, data->DAdvise(&fe, 0, &stream, &connection));
    DataCallbackSpy spy;
    ComPtr<IConnectionPoint> cp;
    DWORD cookie = 0;
    ASSERT_NO_FATAL_FAILURE(c.AdviseCallback(&spy, &cp, &cookie));
    Sleep(500);
    ComPtr<IOPCSyncIO> sync;
    ASSERT_EQ(S_OK, c.mgt.As(&sync));
    VARIANT q;
    q.vt = VT_I4;
    q.lVal = 0x1C;  // BAD, out of service
    HRESULT* errors = nullptr;
    ASSERT_EQ(S_OK, sync->Write(1, &h[1], &q, &errors));
    CoTaskMemFree(errors);
    bool inStream = false, inCallback = false;
    for (int i = 0; i < 100 && !(inStream && inCallback); ++i) {
        Sleep(50);
        {
            std::lock_guard<std::mutex> lock(stream.mutex);
            for (const auto& b : stream.blocks) {
                DWORD count;
                memcpy(&count, b.bytes.data() + 4, 4);
                for (DWORD k = 0; k < count; ++k) {
                    OPCHANDLE client;
                    WORD quality;
                    memcpy(&client, b.bytes.data() + 20 + 20 * k, 4);
                    memcpy(&quality, b.bytes.data() + 20 + 20 * k + 8, 2);
                    inStream = inStream || (client == 100 && quality == 0x1C);
                }
            }
        }
        std::lock_guard<std::mutex> lock(spy.mutex);
        for (const auto& change : spy.changes)
            for (size_t k = 0; k < change.clients.size(); ++k)
                inCallback = inCallback || (change.clients[k] == 100 && change.qualities[k] == 0x1C);
    }
    EXPECT_TRUE(inStream);
    EXPECT_TRUE(inCallback);
    EXPECT_EQ(S_OK, cp->Unadvise(cookie));
    EXPECT_EQ(S_OK, data->DUnadvise(connection));
}
