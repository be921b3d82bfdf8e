// opcda-client: the DA 3.0 paths of browse, properties, read and write:
// IOPCBrowse (pages joined by continuation points, properties) and
// IOPCItemIO (reads with a MaxAge, VQT writes), without a group.
#include "client/Session.h"
#include "common/OpcRecords.h"

#include <cwchar>
#include <functional>

namespace opcda_client {
namespace {

// The elements of one Browse call, freed with it.
struct BrowsePage {
    HRESULT hr = E_FAIL;
    BOOL more = FALSE;
    DWORD count = 0;
    OPCBROWSEELEMENT* elements = nullptr;
    BrowsePage() = default;
    BrowsePage(const BrowsePage&) = delete;
    BrowsePage& operator=(const BrowsePage&) = delete;
    ~BrowsePage()
    {
        for (DWORD i = 0; elements && i < count; ++i) {
            CoTaskMemFree(elements[i].szName);
            CoTaskMemFree(elements[i].szItemID);
            FreeItemProperties(elements[i].ItemProperties);
        }
        CoTaskMemFree(elements);
    }
};

// Browses the elements below id in pages of o.maxElements, calling each(e)
// for every element. A page after the first says so, with the point that
// asked for it.
HRESULT ForEachElement(IOPCBrowse* browse, const std::wstring& id, OPCBROWSEFILTER filter, const std::wstring& names,
                       const Options& o, int depth, const std::function<void(const OPCBROWSEELEMENT&)>& each)
{
    LPWSTR point = nullptr;  // the first call has none
    DWORD noProperty = 0;    // the property list is a reference on the wire, never NULL
    int page = 1;
    do {
        std::wstring asked = point ? point : L"";
        BrowsePage p;
        p.hr = browse->Browse(const_cast<wchar_t*>(id.c_str()), &point, o.maxElements, filter,
                              const_cast<wchar_t*>(names.c_str()), const_cast<wchar_t*>(L""), FALSE, FALSE, 0,
                              &noProperty, &p.more, &p.count, &p.elements);
        if (FAILED(p.hr)) {
            CoTaskMemFree(point);
            return p.hr;
        }
        if (page > 1 && !o.flat)
            wprintf(L"%*ls(page %d, continuation point %ls)\n", depth * 2, L"", page, asked.c_str());
        for (DWORD i = 0; i < p.count; ++i)
            each(p.elements[i]);
        ++page;
    } while (point);
    return S_OK;
}

HRESULT PrintTree3(IOPCBrowse* browse, const std::wstring& id, const Options& o, int depth)
{
    // Items first (filtered by name), then the branches with what is below.
    HRESULT hr = ForEachElement(browse, id, OPC_BROWSE_FILTER_ITEMS, o.filter, o, depth, [&](const OPCBROWSEELEMENT& e) {
        if (o.flat)
            wprintf(L"%ls\n", e.szItemID);
        else
            wprintf(L"%*ls%ls  (%ls)\n", depth * 2, L"", e.szName, e.szItemID);
    });
    if (FAILED(hr))
        return hr;
    std::vector<std::wstring> branches;
    hr = ForEachElement(browse, id, OPC_BROWSE_FILTER_BRANCHES, L"", o, depth, [&](const OPCBROWSEELEMENT& e) {
        if (!o.flat)
            wprintf(L"%*ls%ls/\n", depth * 2, L"", e.szName);
        if (e.dwFlagValue & OPC_BROWSE_HASCHILDREN)
            branches.push_back(e.szItemID);
    });
    for (const auto& b : branches)
        if (SUCCEEDED(hr))
            hr = PrintTree3(browse, b, o, depth + 1);
    return hr;
}

// The canonical types of item IDs (property 1), for the values of a write;
// VT_EMPTY and the error where an item has none.
std::vector<VARTYPE> CanonicalTypes(IOPCBrowse* browse, const std::vector<std::wstring>& ids,
                                    std::vector<HRESULT>* errors)
{
    std::vector<VARTYPE> types(ids.size(), VT_EMPTY);
    errors->assign(ids.size(), S_OK);
    std::vector<LPWSTR> list;
    for (const auto& id : ids)
        list.push_back(const_cast<wchar_t*>(id.c_str()));
    DWORD canonical = 1;
    OPCITEMPROPERTIES* props = nullptr;
    HRESULT hr = browse->GetProperties(static_cast<DWORD>(ids.size()), list.data(), TRUE, 1, &canonical, &props);
    for (size_t i = 0; i < ids.size(); ++i) {
        if (FAILED(hr)) {
            (*errors)[i] = hr;
            continue;
        }
        OPCITEMPROPERTIES& p = props[i];
        if (FAILED(p.hrErrorID))
            (*errors)[i] = p.hrErrorID;
        else if (p.dwNumProperties == 1 && SUCCEEDED(p.pItemProperties[0].hrErrorID))
            types[i] = p.pItemProperties[0].vValue.iVal;
        FreeItemProperties(p);
    }
    CoTaskMemFree(props);
    return types;
}

}  // namespace

int BrowseThroughIOPCBrowse(Session& s, const Options& o)
{
    HRESULT hr = PrintTree3(s.browse3.Get(), L"", o, 0);
    if (FAILED(hr)) {
        Fail(L"Browse", hr);
        return kCallFailed;
    }
    if (!o.flat)
        wprintf(L"(the tree shows the naming pattern: setX stands for any set number 0 to 16777215,\n"
                L" itemY for any name that starts with \"item\")\n");
    return kOk;
}

int PropertiesThroughIOPCBrowse(Session& s, const Options& o)
{
    std::vector<LPWSTR> list;
    for (const auto& id : o.args)
        list.push_back(const_cast<wchar_t*>(id.c_str()));
    DWORD all = 0;  // with a count of 0, every property of each item
    OPCITEMPROPERTIES* props = nullptr;
    HRESULT hr = s.browse3->GetProperties(static_cast<DWORD>(list.size()), list.data(), TRUE, 0, &all, &props);
    if (FAILED(hr)) {
        Fail(L"GetProperties", hr);
        return kCallFailed;
    }
    for (size_t i = 0; i < o.args.size(); ++i) {
        OPCITEMPROPERTIES& p = props[i];
        if (FAILED(p.hrErrorID)) {
            fwprintf(stderr, L"error: %ls: %ls\n", o.args[i].c_str(), HResultText(p.hrErrorID).c_str());
        } else {
            wprintf(L"%ls\n", o.args[i].c_str());
            for (DWORD k = 0; k < p.dwNumProperties; ++k) {
                const OPCITEMPROPERTY& q = p.pItemProperties[k];
                std::wstring value = FAILED(q.hrErrorID) ? HResultText(q.hrErrorID) : ValueText(q.vValue);
                wprintf(L"  %4lu  %-28ls %-6ls %ls\n", static_cast<unsigned long>(q.dwPropertyID),
                        q.szDescription ? q.szDescription : L"", VarTypeText(q.vtDataType).c_str(), value.c_str());
            }
        }
        FreeItemProperties(p);
    }
    CoTaskMemFree(props);
    return hr == S_OK ? kOk : kItemErrors;
}

int ReadThroughItemIO(Session& s, const Options& o)
{
    const DWORD n = static_cast<DWORD>(o.args.size());
    std::vector<LPCWSTR> ids;
    for (const auto& id : o.args)
        ids.push_back(id.c_str());
    std::vector<DWORD> maxAges(n, o.maxAge);
    VARIANT* values = nullptr;
    WORD* qualities = nullptr;
    FILETIME* times = nullptr;
    HRESULT* errors = nullptr;
    HRESULT hr = s.itemIO->Read(n, ids.data(), maxAges.data(), &values, &qualities, &times, &errors);
    if (FAILED(hr)) {
        Fail(L"IOPCItemIO::Read", hr);
        return kCallFailed;
    }
    if (o.csv)
        wprintf(L"item,value,type,quality,local time,utc time\n");
    for (DWORD i = 0; i < n; ++i) {
        if (FAILED(errors[i]))
            fwprintf(stderr, L"error: %ls: %ls\n", ids[i], HResultText(errors[i]).c_str());
        else if (o.csv)
            wprintf(L"%ls,%ls,%ls,%ls,%ls,%ls\n", Csv(ids[i]).c_str(), Csv(ValueText(values[i], true)).c_str(),
                    VarTypeText(values[i].vt).c_str(), QualityText(qualities[i]).c_str(),
                    FileTimeText(times[i], true).c_str(), FileTimeText(times[i], false).c_str());
        else
            wprintf(L"%-20ls %-24ls %-5ls %-22ls %ls (UTC %ls)\n", ids[i], ValueText(values[i]).c_str(),
                    VarTypeText(values[i].vt).c_str(), QualityText(qualities[i]).c_str(),
                    FileTimeText(times[i], true).c_str(), FileTimeText(times[i], false).c_str());
        VariantClear(&values[i]);
    }
    CoTaskMemFree(values);
    CoTaskMemFree(qualities);
    CoTaskMemFree(times);
    CoTaskMemFree(errors);
    return hr == S_OK ? kOk : kItemErrors;
}

int WriteThroughItemIO(Session& s, const Options& o)
{
    std::vector<std::wstring> ids, texts;
    if (!SplitAssignments(o.args, &ids, &texts))
        return kUsage;
    std::vector<HRESULT> typeErrors;
    std::vector<VARTYPE> types = CanonicalTypes(s.browse3.Get(), ids, &typeErrors);
    bool anyError = false;
    std::vector<LPCWSTR> list;
    std::vector<OPCITEMVQT> records;
    std::vector<size_t> index;
    for (size_t i = 0; i < ids.size(); ++i) {
        OPCITEMVQT r = {};
        HRESULT hr = FAILED(typeErrors[i]) ? typeErrors[i] : TextToValue(texts[i], types[i], &r.vDataValue);
        if (FAILED(hr)) {
            fwprintf(stderr, L"error: %ls: %ls\n", ids[i].c_str(), HResultText(hr).c_str());
            anyError = true;
            continue;
        }
        r.bQualitySpecified = o.qualitySet;
        r.wQuality = o.quality;
        list.push_back(ids[i].c_str());
        records.push_back(r);
        index.push_back(i);
    }
    if (!records.empty()) {
        HRESULT* errors = nullptr;
        HRESULT hr = s.itemIO->WriteVQT(static_cast<DWORD>(records.size()), list.data(), records.data(), &errors);
        if (FAILED(hr)) {
            Fail(L"IOPCItemIO::WriteVQT", hr);
            anyError = true;
        } else {
            for (size_t k = 0; k < records.size(); ++k) {
                if (FAILED(errors[k])) {
                    fwprintf(stderr, L"error: %ls: %ls\n", list[k], HResultText(errors[k]).c_str());
                    anyError = true;
                } else {
                    wprintf(L"%ls = %ls: written\n", list[k], ValueText(records[k].vDataValue).c_str());
                }
            }
            CoTaskMemFree(errors);
        }
        for (auto& r : records)
            VariantClear(&r.vDataValue);
    }
    return anyError ? kItemErrors : kOk;
}

}  // namespace opcda_client
