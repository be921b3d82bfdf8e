// Every type of the test server through the further calls that carry values
// across processes: IOPCSyncIO2 and IOPCAsyncIO3 with qualities and time
// stamps, a refresh's data change, the value property, requested types, and
// the 1.0a streams carrying strings and arrays both ways.
#include "common/OpcDefs.h"
#include "common/StreamImage.h"
#include "AdviseSinkSpy.h"
#include "DataCallbackSpy.h"
#include "TestServerClient.h"

#include <gtest/gtest.h>
#include <wrl/client.h>

#include <ocidl.h>

#include <algorithm>
#include <string>
#include <vector>

using Microsoft::WRL::ComPtr;
using namespace test_server;

namespace {
const FILETIME kStamp1 = {0x12345678, 0x01D00000};
const FILETIME kStamp2 = {0x00ABCDEF, 0x01D10000};

std::vector<VARIANT> Values(bool arrays, int seed)
{
    std::vector<VARIANT> v(16);
    for (size_t i = 0; i < v.size(); ++i)
        MakeValue(static_cast<VARTYPE>((arrays ? VT_ARRAY : 0) | kTypeVts[i]), seed, &v[i]);
    return v;
}

void Clear(std::vector<VARIANT>& values)
{
    for (VARIANT& v : values)
        VariantClear(&v);
}

// VQT records over the values (shallow: the values stay the caller's).
std::vector<OPCITEMVQT> Records(const std::vector<VARIANT>& values, WORD quality, const FILETIME& stamp)
{
    std::vector<OPCITEMVQT> vqt(values.size());
    for (size_t i = 0; i < values.size(); ++i) {
        vqt[i] = OPCITEMVQT{};
        vqt[i].vDataValue = values[i];
        vqt[i].bQualitySpecified = TRUE;
        vqt[i].wQuality = quality;
        vqt[i].bTimeStampSpecified = TRUE;
        vqt[i].ftTimeStamp = stamp;
    }
    return vqt;
}

bool SameTime(const FILETIME& a, const FILETIME& b)
{
    return a.dwLowDateTime == b.dwLowDateTime && a.dwHighDateTime == b.dwHighDateTime;
}

// The completion or data change of a transaction, waited for.
const DataCallbackSpy::Change* WaitTransaction(DataCallbackSpy& spy, DWORD transid, bool change)
{
    for (DWORD start = GetTickCount(); GetTickCount() - start < 10000; Sleep(10)) {
        std::lock_guard<std::mutex> lock(spy.mutex);
        for (const auto& c : change ? spy.changes : spy.completions)
            if (c.transid == transid)
                return &c;
    }
    return nullptr;
}

struct Block {
    DWORD transactionID = 0;
    std::vector<OPCHANDLE> clients;
    std::vector<WORD> qualities;
    std::vector<HRESULT> decoded;
    std::vector<VARIANT> values;
};

// A data block with times, decoded as a client of either bitness does.
Block Decode(const std::vector<BYTE>& b)
{
    Block out;
    DWORD count = 0;
    memcpy(&count, b.data() + 4, 4);
    memcpy(&out.transactionID, b.data() + 12, 4);
    for (DWORD k = 0; k < count; ++k) {
        OPCITEMHEADER1 h;
        memcpy(&h, b.data() + sizeof(OPCGROUPHEADER) + sizeof(OPCITEMHEADER1) * k, sizeof(h));
        out.clients.push_back(h.hClient);
        out.qualities.push_back(h.wQuality);
        out.values.emplace_back();
        out.decoded.push_back(ReadValueImage(b.data(), b.size(), h.dwValueOffset, &out.values.back()));
    }
    return out;
}
}  // namespace

// IOPCSyncIO2 and IOPCAsyncIO3 write and read every type with its quality
// and time stamp; a refresh's data change and the value property give the
// same values; a requested array type is converted element by element.
TEST(TestServerCalls, EveryTypeCrossesTheDa3CallsTheCallbackAndTheValueProperty)
{
    TestServerClient c;
    ASSERT_NO_FATAL_FAILURE(c.Connect(TRUE, 100));
    ComPtr<IOPCSyncIO2> sync;
    ComPtr<IOPCAsyncIO3> async;
    ComPtr<IOPCItemProperties> props;
    ASSERT_EQ(S_OK, c.mgt.As(&sync));
    ASSERT_EQ(S_OK, c.mgt.As(&async));
    ASSERT_EQ(S_OK, c.server.As(&props));
    DataCallbackSpy spy;
    ComPtr<IConnectionPoint> cp;
    DWORD cookie = 0;
    ASSERT_NO_FATAL_FAILURE(c.AdviseCallback(&spy, &cp, &cookie));
    DWORD transid = 10;
    for (bool arrays : {false, true}) {
        const std::vector<std::wstring> ids = EchoIds(arrays);
        std::vector<OPCHANDLE> h = c.Add(ids);
        const DWORD n = static_cast<DWORD>(h.size());
        std::vector<DWORD> ages(n, 0);

        // Synchronous VQT write, read from the device.
        std::vector<VARIANT> first = Values(arrays, 1);
        std::vector<OPCITEMVQT> vqt = Records(first, 0x54, kStamp1);
        HRESULT* errors = nullptr;
        ASSERT_EQ(S_OK, sync->WriteVQT(n, h.data(), vqt.data(), &errors));
        CoTaskMemFree(errors);
        VARIANT* read = nullptr;
        WORD* qualities = nullptr;
        FILETIME* times = nullptr;
        ASSERT_EQ(S_OK, sync->ReadMaxAge(n, h.data(), ages.data(), &read, &qualities, &times, &errors));
        for (DWORD i = 0; i < n; ++i) {
            EXPECT_TRUE(Equal(first[i], read[i])) << "SyncIO2 " << ids[i].c_str();
            EXPECT_EQ(0x54, qualities[i]);
            EXPECT_TRUE(SameTime(kStamp1, times[i])) << ids[i].c_str();
            VariantClear(&read[i]);
        }
        CoTaskMemFree(read);
        CoTaskMemFree(qualities);
        CoTaskMemFree(times);
        CoTaskMemFree(errors);

        // Asynchronous VQT write and MaxAge read, through the callback.
        std::vector<VARIANT> second = Values(arrays, 0);
        vqt = Records(second, 0x58, kStamp2);
        DWORD cancel = 0;
        const DWORD writeId = ++transid, readId = ++transid, refreshId = ++transid;
        ASSERT_EQ(S_OK, async->WriteVQT(n, h.data(), vqt.data(), writeId, &cancel, &errors));
        CoTaskMemFree(errors);
        const auto* write = WaitTransaction(spy, writeId, false);
        ASSERT_NE(nullptr, write);
        EXPECT_EQ(std::vector<HRESULT>(n, S_OK), write->errors);
        ASSERT_EQ(S_OK, async->ReadMaxAge(n, h.data(), ages.data(), readId, &cancel, &errors));
        CoTaskMemFree(errors);
        const auto* completion = WaitTransaction(spy, readId, false);
        ASSERT_NE(nullptr, completion);
        ASSERT_EQ(n, completion->values.size());
        for (DWORD i = 0; i < n; ++i) {
            EXPECT_TRUE(Equal(second[i], completion->values[i])) << "AsyncIO3 " << ids[i].c_str();
            EXPECT_EQ(0x58, completion->qualities[i]);
            EXPECT_TRUE(SameTime(kStamp2, completion->times[i])) << ids[i].c_str();
        }

        // A refresh from the device: every item in one data change.
        ASSERT_EQ(S_OK, async->RefreshMaxAge(0, refreshId, &cancel));
        const auto* refresh = WaitTransaction(spy, refreshId, true);
        ASSERT_NE(nullptr, refresh);
        for (size_t k = 0; k < refresh->clients.size(); ++k) {
            const size_t i = refresh->clients[k] - 100;
            if (i < n) {
                EXPECT_TRUE(Equal(second[i], refresh->values[k])) << "refresh " << ids[i].c_str();
            }
        }

        // The value property.
        for (DWORD i = 0; i < n; ++i) {
            DWORD id = 2;
            VARIANT* value = nullptr;
            ASSERT_EQ(S_OK, props->GetItemProperties(const_cast<LPWSTR>(ids[i].c_str()), 1, &id, &value, &errors));
            EXPECT_TRUE(Equal(second[i], value[0])) << "property " << ids[i].c_str();
            VariantClear(&value[0]);
            CoTaskMemFree(value);
            CoTaskMemFree(errors);
        }
        Clear(first);
        Clear(second);
        // The next pass uses the same client handles.
        ASSERT_EQ(S_OK, c.mgt->RemoveItems(n, h.data(), &errors));
        CoTaskMemFree(errors);
    }
    EXPECT_EQ(S_OK, cp->Unadvise(cookie));

    // Requested types: an I4 array read as an R8 array, an I8 as a string;
    // a scalar cannot be read as an array (SetDatatypes takes any type, the
    // read fails for that item).
    std::vector<OPCHANDLE> h = c.Add({L"echo.array.i4", L"echo.i8", L"echo.r8"});
    ComPtr<IOPCItemMgt> mgt = c.mgt;
    VARTYPE requested[] = {VT_ARRAY | VT_R8, VT_BSTR, VT_ARRAY | VT_R8};
    HRESULT* errors = nullptr;
    ASSERT_EQ(S_OK, mgt->SetDatatypes(3, h.data(), requested, &errors));
    CoTaskMemFree(errors);
    std::vector<VARIANT> written = {VARIANT{}, VARIANT{}};
    MakeValue(VT_ARRAY | VT_I4, 1, &written[0]);
    written[1].vt = VT_I8;
    written[1].llVal = -9876543210LL;
    ASSERT_EQ(S_OK, sync->Write(2, h.data(), written.data(), &errors));
    CoTaskMemFree(errors);
    // (The 1.0a Read gives the cache's type, as specified; the 2.0 and 3.0
    // reads apply the requested one.)
    DWORD ages[3] = {0, 0, 0};
    VARIANT* read = nullptr;
    WORD* qualities = nullptr;
    FILETIME* times = nullptr;
    ASSERT_EQ(S_FALSE, sync->ReadMaxAge(3, h.data(), ages, &read, &qualities, &times, &errors));
    EXPECT_EQ(S_OK, errors[0]);
    EXPECT_EQ(S_OK, errors[1]);
    EXPECT_EQ(DISP_E_TYPEMISMATCH, errors[2]);
    EXPECT_EQ(OPC_QUALITY_BAD, qualities[2]);
    EXPECT_EQ(VT_EMPTY, read[2].vt);
    VARIANT expected;
    VariantInit(&expected);
    expected.vt = VT_ARRAY | VT_R8;
    SAFEARRAYBOUND bound = {4, 0};
    expected.parray = SafeArrayCreate(VT_R8, 1, &bound);
    for (LONG i = 0; i < 4; ++i) {
        double e = -7654322.0;
        SafeArrayPutElement(expected.parray, &i, &e);
    }
    EXPECT_TRUE(Equal(expected, read[0]));
    ASSERT_EQ(VT_BSTR, read[1].vt);
    EXPECT_STREQ(L"-9876543210", read[1].bstrVal);
    for (int i = 0; i < 3; ++i)
        VariantClear(&read[i]);
    CoTaskMemFree(read);
    CoTaskMemFree(qualities);
    CoTaskMemFree(times);
    CoTaskMemFree(errors);
    VariantClear(&expected);
    Clear(written);
}

// The 1.0a path: IOPCAsyncIO writes every type and array (the values
// marshalled in), the write completes in its block, a device read's block
// and the data changes carry each value's image (strings after the
// VARIANT, arrays with descriptor, elements and each string) and decode to
// exactly what was written.
TEST(TestServerCalls, StreamsCarryStringsAndArraysOfEveryType)
{
    TestServerClient c;
    ASSERT_NO_FATAL_FAILURE(c.Connect(TRUE, 100));
    std::vector<std::wstring> ids = EchoIds(false);
    for (const auto& id : EchoIds(true))
        ids.push_back(id);
    std::vector<OPCHANDLE> h = c.Add(ids);
    const DWORD n = static_cast<DWORD>(h.size());
    std::vector<VARIANT> values = Values(false, 1);
    for (const VARIANT& v : Values(true, 1))
        values.push_back(v);

    ComPtr<IDataObject> data;
    ASSERT_EQ(S_OK, c.mgt.As(&data));
    AdviseSinkSpy stream, writes;
    FORMATETC fe = {static_cast<CLIPFORMAT>(RegisterClipboardFormatW(L"OPCSTMFORMATDATATIME")), nullptr,
                    DVASPECT_CONTENT, -1, TYMED_HGLOBAL};
    FORMATETC wfe = fe;
    wfe.cfFormat = static_cast<CLIPFORMAT>(RegisterClipboardFormatW(L"OPCSTMFORMATWRITECOMPLETE"));
    DWORD cData = 0, cWrite = 0;
    ASSERT_EQ(S_OK, data->DAdvise(&fe, 0, &stream, &cData));
    ASSERT_EQ(S_OK, data->DAdvise(&wfe, 0, &writes, &cWrite));
    ComPtr<IOPCAsyncIO> async;
    ASSERT_EQ(S_OK, c.mgt.As(&async));
    DWORD writeId = 0, readId = 0;
    HRESULT* errors = nullptr;
    ASSERT_EQ(S_OK, async->Write(cWrite, n, h.data(), values.data(), &writeId, &errors));
    CoTaskMemFree(errors);
    for (DWORD start = GetTickCount(); writes.count() == 0 && GetTickCount() - start < 10000;)
        Sleep(10);
    {
        std::lock_guard<std::mutex> lock(writes.mutex);
        ASSERT_EQ(1u, writes.blocks.size());
        const std::vector<BYTE>& b = writes.blocks[0].bytes;
        DWORD count = 0;
        memcpy(&count, b.data(), 4);
        ASSERT_EQ(n, count);
        for (DWORD k = 0; k < n; ++k) {
            HRESULT e = E_FAIL;
            memcpy(&e, b.data() + 16 + 8 * k + 4, 4);
            EXPECT_EQ(S_OK, e) << k;
        }
    }
    ASSERT_EQ(S_OK, async->Read(cData, OPC_DS_DEVICE, n, h.data(), &readId, &errors));
    CoTaskMemFree(errors);
    // The read's block, and the data changes: the latest of each item (the
    // next scan after the write brings them).
    std::vector<int> changed(n, 0);
    bool sawRead = false;
    size_t decoded = 0;
    auto allChanged = [&] { return std::count(changed.begin(), changed.end(), 1) == static_cast<long>(n); };
    for (DWORD start = GetTickCount(); GetTickCount() - start < 10000 && !(sawRead && allChanged()); Sleep(20)) {
        std::lock_guard<std::mutex> lock(stream.mutex);
        for (; decoded < stream.blocks.size(); ++decoded) {
            Block b = Decode(stream.blocks[decoded].bytes);
            sawRead = sawRead || b.transactionID == readId;
            for (size_t k = 0; k < b.clients.size(); ++k) {
                const size_t i = b.clients[k] - 100;
                ASSERT_LT(i, n);
                EXPECT_EQ(S_OK, b.decoded[k]) << ids[i].c_str();
                if (b.transactionID == readId) {
                    EXPECT_TRUE(Equal(values[i], b.values[k])) << "read block " << ids[i].c_str();
                } else if (b.transactionID == 0) {
                    changed[i] = Equal(values[i], b.values[k]) ? 1 : 0;  // the latest change counts
                }
            }
            Clear(b.values);
        }
    }
    EXPECT_TRUE(sawRead);
    for (DWORD i = 0; i < n; ++i)
        EXPECT_EQ(1, changed[i]) << "data change " << ids[i].c_str();
    EXPECT_EQ(S_OK, data->DUnadvise(cData));
    EXPECT_EQ(S_OK, data->DUnadvise(cWrite));
    Clear(values);
}

// Hostile values through the proxy: a million elements and a second
// dimension are refused for their items, a VARIANT array and a by-reference
// value are converted, empty strings and arrays are kept; the server goes
// on serving.
TEST(TestServerCalls, HostileValuesGetPerItemResultsAcrossProcesses)
{
    TestServerClient c;
    ASSERT_NO_FATAL_FAILURE(c.Connect());
    std::vector<OPCHANDLE> h =
        c.Add({L"echo.array.r8", L"echo.array.r8", L"echo.array.i4", L"echo.i4", L"echo.string", L"echo.array.string"});
    std::vector<VARIANT> v(6);
    for (VARIANT& x : v)
        VariantInit(&x);
    SAFEARRAYBOUND huge = {1000000, 0};
    v[0].vt = VT_ARRAY | VT_R8;
    v[0].parray = SafeArrayCreate(VT_R8, 1, &huge);
    SAFEARRAYBOUND square[2] = {{2, 0}, {2, 0}};
    v[1].vt = VT_ARRAY | VT_R8;
    v[1].parray = SafeArrayCreate(VT_R8, 2, square);
    SAFEARRAYBOUND two = {2, 0};
    v[2].vt = VT_ARRAY | VT_VARIANT;
    v[2].parray = SafeArrayCreate(VT_VARIANT, 1, &two);
    for (LONG i = 0; i < 2; ++i) {
        VARIANT e;
        VariantInit(&e);
        e.vt = VT_BSTR;
        e.bstrVal = SysAllocString(i ? L"-7" : L"12");
        SafeArrayPutElement(v[2].parray, &i, &e);
        VariantClear(&e);
    }
    LONG referenced = 4321;
    v[3].vt = VT_BYREF | VT_I4;
    v[3].plVal = &referenced;
    v[4].vt = VT_BSTR;
    v[4].bstrVal = SysAllocString(L"");
    SAFEARRAYBOUND none = {0, 0};
    v[5].vt = VT_ARRAY | VT_BSTR;
    v[5].parray = SafeArrayCreate(VT_BSTR, 1, &none);
    ComPtr<IOPCSyncIO> sync;
    ASSERT_EQ(S_OK, c.mgt.As(&sync));
    HRESULT* errors = nullptr;
    ASSERT_EQ(S_FALSE, sync->Write(6, h.data(), v.data(), &errors));
    EXPECT_EQ(E_INVALIDARG, errors[0]);
    EXPECT_EQ(E_INVALIDARG, errors[1]);
    for (int i = 2; i < 6; ++i)
        EXPECT_EQ(S_OK, errors[i]) << i;
    CoTaskMemFree(errors);
    v[3].vt = VT_EMPTY;  // the reference is the test's own
    OPCITEMSTATE* states = nullptr;
    ASSERT_EQ(S_OK, sync->Read(OPC_DS_DEVICE, 6, h.data(), &states, &errors));
    // The refused writes left the array as it was (one dimension, short).
    ASSERT_EQ(VT_ARRAY | VT_R8, states[0].vDataValue.vt);
    EXPECT_EQ(1u, SafeArrayGetDim(states[0].vDataValue.parray));
    EXPECT_GT(100u, states[0].vDataValue.parray->rgsabound[0].cElements);
    VARIANT ints;
    VariantInit(&ints);
    ints.vt = VT_ARRAY | VT_I4;
    ints.parray = SafeArrayCreate(VT_I4, 1, &two);
    for (LONG i = 0; i < 2; ++i) {
        LONG e = i ? -7 : 12;
        SafeArrayPutElement(ints.parray, &i, &e);
    }
    EXPECT_TRUE(Equal(ints, states[2].vDataValue));
    EXPECT_EQ(VT_I4, states[3].vDataValue.vt);
    EXPECT_EQ(4321, states[3].vDataValue.lVal);
    EXPECT_EQ(VT_BSTR, states[4].vDataValue.vt);
    EXPECT_EQ(0u, SysStringLen(states[4].vDataValue.bstrVal));
    ASSERT_EQ(VT_ARRAY | VT_BSTR, states[5].vDataValue.vt);
    EXPECT_EQ(0u, states[5].vDataValue.parray->rgsabound[0].cElements);
    for (int i = 0; i < 6; ++i)
        VariantClear(&states[i].vDataValue);
    CoTaskMemFree(states);
    CoTaskMemFree(errors);
    VariantClear(&ints);
    Clear(v);
}
