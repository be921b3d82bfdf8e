// opcda-client: the commands that ask once and print: status, browse,
// validate, read, write, properties.
#include "client/Session.h"

#include <cwchar>

namespace opcda_client {

int CmdStatus(Session& s, const Options&)
{
    wprintf(L"Protocol:     OPC DA %ls\n", s.Da3() ? L"3.0" : s.Da2() ? L"2.0" : L"1.0a");
    if (s.Da2()) {
        LCID lcid = 0;
        HRESULT hr = s.common->GetLocaleID(&lcid);
        if (FAILED(hr)) {
            Fail(L"GetLocaleID", hr);
            return kCallFailed;
        }
        wprintf(L"Locale:       0x%04lX\n", static_cast<unsigned long>(lcid));
        wprintf(L"Client name:  %ls\n", Session::kClientName);
    }
    OPCSERVERSTATUS* status = nullptr;
    HRESULT hr = s.server->GetStatus(&status);
    if (FAILED(hr) || !status) {
        Fail(L"GetStatus", hr);
        return kCallFailed;
    }
    const wchar_t* state = status->dwServerState == OPC_STATUS_RUNNING ? L"running" : L"not running";
    wprintf(L"Vendor:       %ls\n", status->szVendorInfo ? status->szVendorInfo : L"");
    wprintf(L"Version:      %u.%u.%u\n", status->wMajorVersion, status->wMinorVersion, status->wBuildNumber);
    wprintf(L"State:        %ls\n", state);
    wprintf(L"Start time:   %ls (UTC %ls)\n", FileTimeText(status->ftStartTime, true).c_str(),
            FileTimeText(status->ftStartTime, false).c_str());
    wprintf(L"Current time: %ls (UTC %ls)\n", FileTimeText(status->ftCurrentTime, true).c_str(),
            FileTimeText(status->ftCurrentTime, false).c_str());
    wprintf(L"Last update:  %ls\n", FileTimeText(status->ftLastUpdateTime, true).c_str());
    wprintf(L"Groups:       %lu\n", static_cast<unsigned long>(status->dwGroupCount));
    wprintf(L"Band width:   0x%08lX\n", static_cast<unsigned long>(status->dwBandWidth));
    CoTaskMemFree(status->szVendorInfo);
    CoTaskMemFree(status);
    return kOk;
}

std::vector<std::wstring> ListStrings(IEnumString* e)
{
    std::vector<std::wstring> out;
    if (!e)
        return out;
    LPOLESTR s = nullptr;
    ULONG fetched = 0;
    while (e->Next(1, &s, &fetched) == S_OK && fetched == 1) {
        out.push_back(s);
        CoTaskMemFree(s);
    }
    return out;
}

void PrintTree(IOPCBrowseServerAddressSpace* browse, int depth)
{
    ComPtr<IEnumString> e;
    browse->BrowseOPCItemIDs(OPC_LEAF, L"", VT_EMPTY, 0, e.GetAddressOf());
    for (const auto& leaf : ListStrings(e.Get())) {
        LPWSTR id = nullptr;
        browse->GetItemID(const_cast<wchar_t*>(leaf.c_str()), &id);
        wprintf(L"%*ls%ls  (%ls)\n", depth * 2, L"", leaf.c_str(), id ? id : L"?");
        CoTaskMemFree(id);
    }
    browse->BrowseOPCItemIDs(OPC_BRANCH, L"", VT_EMPTY, 0, e.ReleaseAndGetAddressOf());
    for (const auto& branch : ListStrings(e.Get())) {
        wprintf(L"%*ls%ls/\n", depth * 2, L"", branch.c_str());
        if (SUCCEEDED(browse->ChangeBrowsePosition(OPC_BROWSE_DOWN, branch.c_str()))) {
            PrintTree(browse, depth + 1);
            browse->ChangeBrowsePosition(OPC_BROWSE_UP, L"");
        }
    }
}

int CmdBrowse(Session& s, const Options& o)
{
    if (s.Da3())
        return BrowseThroughIOPCBrowse(s, o);
    if (o.maxElements) {
        fwprintf(stderr, L"error: --max needs the server's IOPCBrowse (OPC DA 3.0)\n");
        return kUsage;
    }
    ComPtr<IOPCBrowseServerAddressSpace> browse;
    HRESULT hr = s.server.As(&browse);
    if (FAILED(hr)) {
        Fail(L"QueryInterface(IOPCBrowseServerAddressSpace)", hr);
        return kCallFailed;
    }
    if (!o.flat && o.filter.empty()) {
        PrintTree(browse.Get(), 0);
        wprintf(L"(the tree shows the naming pattern: setX stands for any set number 0 to 16777215,\n"
                L" itemY for any name that starts with \"item\")\n");
        return kOk;
    }
    ComPtr<IEnumString> e;
    hr = browse->BrowseOPCItemIDs(OPC_FLAT, o.filter.c_str(), VT_EMPTY, 0, e.GetAddressOf());
    if (FAILED(hr)) {
        Fail(L"BrowseOPCItemIDs", hr);
        return kCallFailed;
    }
    for (const auto& id : ListStrings(e.Get()))
        wprintf(L"%ls\n", id.c_str());
    return kOk;
}

const wchar_t* RightsText(DWORD r)
{
    switch (r & 3) {
    case 1: return L"read";
    case 2: return L"write";
    case 3: return L"read/write";
    default: return L"none";
    }
}

int CmdValidate(Session& s, const Options& o)
{
    ComPtr<IOPCItemMgt> mgt;
    if (FAILED(s.AddGroup(FALSE, 1000, 0, &mgt)))
        return kCallFailed;
    std::vector<OPCITEMDEF> defs(o.args.size());
    for (size_t i = 0; i < o.args.size(); ++i) {
        defs[i] = OPCITEMDEF{};
        defs[i].szAccessPath = const_cast<wchar_t*>(L"");
        defs[i].szItemID = const_cast<wchar_t*>(o.args[i].c_str());
        defs[i].vtRequestedDataType = o.type;
    }
    OPCITEMRESULT* r = nullptr;
    HRESULT* e = nullptr;
    HRESULT hr = mgt->ValidateItems(static_cast<DWORD>(defs.size()), defs.data(), FALSE, &r, &e);
    if (FAILED(hr)) {
        Fail(L"ValidateItems", hr);
        return kCallFailed;
    }
    for (size_t i = 0; i < o.args.size(); ++i) {
        if (SUCCEEDED(e[i]))
            wprintf(L"%ls: valid, type %ls, %ls\n", o.args[i].c_str(), VarTypeText(r[i].vtCanonicalDataType).c_str(),
                    RightsText(r[i].dwAccessRights));
        else
            wprintf(L"%ls: %ls\n", o.args[i].c_str(), HResultText(e[i]).c_str());
        CoTaskMemFree(r[i].pBlob);
    }
    CoTaskMemFree(r);
    CoTaskMemFree(e);
    return hr == S_OK ? kOk : kItemErrors;
}

// A 3.0 path asked for by an option: refused with a clear message where the
// session does not speak 3.0.
bool NeedsDa3(Session& s, const Options& o, const wchar_t* what)
{
    if (s.Da3())
        return true;
    fwprintf(stderr, L"error: %ls needs the server's IOPCBrowse and IOPCItemIO (OPC DA 3.0)%ls\n", what,
             o.da1 || o.da2 ? L"; drop --da1/--da2" : L"");
    return false;
}

int CmdRead(Session& s, const Options& o)
{
    if (o.maxAgeSet)
        return NeedsDa3(s, o, L"--max-age") ? ReadThroughItemIO(s, o) : kUsage;
    ComPtr<IOPCItemMgt> mgt;
    if (FAILED(s.AddGroup(FALSE, 1000, 0, &mgt)))
        return kCallFailed;
    std::vector<OPCITEMRESULT> results;
    std::vector<HRESULT> errors;
    if (FAILED(s.AddItems(mgt.Get(), o.args, TRUE, o.type, &results, &errors)))
        return kCallFailed;
    bool anyError = !ReportItemErrors(o.args, errors);
    std::vector<OPCHANDLE> handles;
    std::vector<size_t> index;
    for (size_t i = 0; i < o.args.size(); ++i) {
        if (SUCCEEDED(errors[i])) {
            handles.push_back(results[i].hServer);
            index.push_back(i);
        } else {
            anyError = true;
        }
    }
    if (handles.empty())
        return kItemErrors;
    ComPtr<IOPCSyncIO> sync;
    mgt.As(&sync);
    OPCITEMSTATE* states = nullptr;
    HRESULT* readErrors = nullptr;
    HRESULT hr = sync->Read(o.device ? OPC_DS_DEVICE : OPC_DS_CACHE, static_cast<DWORD>(handles.size()),
                            handles.data(), &states, &readErrors);
    if (FAILED(hr)) {
        Fail(L"Read", hr);
        return kCallFailed;
    }
    if (o.csv)
        wprintf(L"item,value,type,quality,local time,utc time\n");
    for (size_t k = 0; k < handles.size(); ++k) {
        const std::wstring& id = o.args[index[k]];
        const OPCITEMSTATE& st = states[k];
        if (FAILED(readErrors[k])) {
            fwprintf(stderr, L"error: %ls: %ls\n", id.c_str(), HResultText(readErrors[k]).c_str());
            anyError = true;
        } else if (o.csv) {
            wprintf(L"%ls,%ls,%ls,%ls,%ls,%ls\n", Csv(id).c_str(), Csv(ValueText(st.vDataValue, true)).c_str(),
                    VarTypeText(st.vDataValue.vt).c_str(), QualityText(st.wQuality).c_str(),
                    FileTimeText(st.ftTimeStamp, true).c_str(), FileTimeText(st.ftTimeStamp, false).c_str());
        } else {
            wprintf(L"%-20ls %-24ls %-5ls %-22ls %ls (UTC %ls)\n", id.c_str(), ValueText(st.vDataValue).c_str(),
                    VarTypeText(st.vDataValue.vt).c_str(), QualityText(st.wQuality).c_str(),
                    FileTimeText(st.ftTimeStamp, true).c_str(), FileTimeText(st.ftTimeStamp, false).c_str());
        }
        VariantClear(&states[k].vDataValue);
    }
    CoTaskMemFree(states);
    CoTaskMemFree(readErrors);
    return anyError ? kItemErrors : kOk;
}

// Splits "ID=VALUE" arguments.
bool SplitAssignments(const std::vector<std::wstring>& args, std::vector<std::wstring>* ids,
                      std::vector<std::wstring>* values)
{
    for (const auto& a : args) {
        size_t eq = a.find(L'=');
        if (eq == std::wstring::npos || eq == 0) {
            fwprintf(stderr, L"error: '%ls' is not ITEM=VALUE\n", a.c_str());
            return false;
        }
        ids->push_back(a.substr(0, eq));
        values->push_back(a.substr(eq + 1));
    }
    return true;
}

// Converts a text to the item's canonical type ("on" and "off" for booleans,
// ISO 8601 for dates, "[a, b, ...]" for arrays, each element as a scalar).
HRESULT TextToValue(const std::wstring& text, VARTYPE vt, VARIANT* out)
{
    VariantInit(out);
    if (vt & VT_ARRAY) {
        std::vector<std::wstring> elements;
        if (!SplitArrayText(text, &elements))
            return DISP_E_TYPEMISMATCH;
        SAFEARRAYBOUND bound = {static_cast<ULONG>(elements.size()), 0};
        SAFEARRAY* sa = SafeArrayCreate(VT_VARIANT, 1, &bound);
        if (!sa)
            return E_OUTOFMEMORY;
        for (LONG i = 0; i < static_cast<LONG>(elements.size()); ++i) {
            VARIANT e;
            HRESULT hr = TextToValue(elements[i], vt & VT_TYPEMASK, &e);
            if (SUCCEEDED(hr))
                hr = SafeArrayPutElement(sa, &i, &e);
            VariantClear(&e);
            if (FAILED(hr)) {
                SafeArrayDestroy(sa);
                return hr;
            }
        }
        out->vt = VT_ARRAY | VT_VARIANT;  // the server converts each element to its type
        out->parray = sa;
        return S_OK;
    }
    if (vt == VT_DATE && ParseIsoDate(text, &out->date)) {
        out->vt = VT_DATE;
        return S_OK;
    }
    if (vt == VT_BSTR) {
        out->vt = VT_BSTR;
        out->bstrVal = SysAllocString(text.c_str());
        return out->bstrVal ? S_OK : E_OUTOFMEMORY;
    }
    if (vt == VT_INT || vt == VT_UINT) {
        HRESULT hr = TextToValue(text, vt == VT_INT ? VT_I4 : VT_UI4, out);
        if (SUCCEEDED(hr))
            out->vt = vt;
        return hr;
    }
    if (vt == VT_BOOL) {
        std::wstring t = text;
        for (auto& c : t)
            c = towlower(c);
        if (t == L"on" || t == L"true" || t == L"1" || t == L"-1") {
            out->vt = VT_BOOL;
            out->boolVal = VARIANT_TRUE;
            return S_OK;
        }
        if (t == L"off" || t == L"false" || t == L"0") {
            out->vt = VT_BOOL;
            out->boolVal = VARIANT_FALSE;
            return S_OK;
        }
    }
    if (vt == VT_UI1) {
        const wchar_t* names[4] = {L"sine", L"ramp", L"noise", L"counter"};
        for (BYTE i = 0; i < 4; ++i) {
            if (_wcsicmp(text.c_str(), names[i]) == 0) {
                out->vt = VT_UI1;
                out->bVal = i;
                return S_OK;
            }
        }
    }
    VARIANT source;
    VariantInit(&source);
    source.vt = VT_BSTR;
    source.bstrVal = SysAllocString(text.c_str());
    // The invariant locale: "0.5" means one half whatever the user's settings.
    HRESULT hr = VariantChangeTypeEx(out, &source, MAKELCID(LANG_ENGLISH, SORT_DEFAULT), 0, vt);
    VariantClear(&source);
    return hr;
}

// Adds the items of ITEM=VALUE assignments to a group (inactive) and writes
// them. The items stay in the group, so the sets keep their parameters for as
// long as the group lives.
int WriteAssignments(Session& s, IOPCItemMgt* mgt, const std::vector<std::wstring>& assignments)
{
    std::vector<std::wstring> ids, texts;
    if (!SplitAssignments(assignments, &ids, &texts))
        return kUsage;
    std::vector<OPCITEMRESULT> results;
    std::vector<HRESULT> errors;
    if (FAILED(s.AddItems(mgt, ids, FALSE, VT_EMPTY, &results, &errors)))
        return kCallFailed;
    bool anyError = false;
    std::vector<OPCHANDLE> handles;
    std::vector<VARIANT> values;
    std::vector<size_t> index;
    for (size_t i = 0; i < ids.size(); ++i) {
        if (FAILED(errors[i])) {
            fwprintf(stderr, L"error: %ls: %ls\n", ids[i].c_str(), HResultText(errors[i]).c_str());
            anyError = true;
            continue;
        }
        VARIANT v;
        HRESULT hr = TextToValue(texts[i], results[i].vtCanonicalDataType, &v);
        if (FAILED(hr)) {
            fwprintf(stderr, L"error: %ls: '%ls' is not a %ls value: %ls\n", ids[i].c_str(), texts[i].c_str(),
                     VarTypeText(results[i].vtCanonicalDataType).c_str(), HResultText(hr).c_str());
            anyError = true;
            continue;
        }
        handles.push_back(results[i].hServer);
        values.push_back(v);
        index.push_back(i);
    }
    if (!handles.empty()) {
        ComPtr<IOPCSyncIO> sync;
        mgt->QueryInterface(IID_IOPCSyncIO, reinterpret_cast<void**>(sync.GetAddressOf()));
        HRESULT* writeErrors = nullptr;
        HRESULT hr = sync->Write(static_cast<DWORD>(handles.size()), handles.data(), values.data(), &writeErrors);
        if (FAILED(hr)) {
            Fail(L"Write", hr);
            anyError = true;
        } else {
            for (size_t k = 0; k < handles.size(); ++k) {
                const std::wstring& id = ids[index[k]];
                if (FAILED(writeErrors[k])) {
                    // The rights say read-only; otherwise a plain E_FAIL is
                    // the item's own refusal (a computed value, a fault).
                    const bool readOnly = !(results[index[k]].dwAccessRights & OPC_WRITEABLE);
                    fwprintf(stderr, L"error: %ls: %ls%ls\n", id.c_str(), HResultText(writeErrors[k]).c_str(),
                             readOnly                      ? L" (the item is read-only)"
                             : writeErrors[k] == E_FAIL ? L" (the item refused the write)"
                                                        : L"");
                    anyError = true;
                } else {
                    wprintf(L"%ls = %ls: written\n", id.c_str(), ValueText(values[k]).c_str());
                }
            }
            CoTaskMemFree(writeErrors);
        }
        for (auto& v : values)
            VariantClear(&v);
    }
    return anyError ? kItemErrors : kOk;
}

int CmdWrite(Session& s, const Options& o)
{
    if (o.vqt)
        return NeedsDa3(s, o, L"--vqt") ? WriteThroughItemIO(s, o) : kUsage;
    ComPtr<IOPCItemMgt> mgt;
    if (FAILED(s.AddGroup(FALSE, 1000, 0, &mgt)))
        return kCallFailed;
    return WriteAssignments(s, mgt.Get(), o.args);
}

int CmdProperties(Session& s, const Options& o)
{
    if (s.Da3())
        return PropertiesThroughIOPCBrowse(s, o);
    ComPtr<IOPCItemProperties> props;
    if (!s.Da2() || FAILED(s.server.As(&props))) {
        fwprintf(stderr, L"error: properties needs the server's IOPCItemProperties (OPC DA 2.0)%ls\n",
                 o.da1 ? L"; drop --da1" : L"");
        return kCallFailed;
    }
    bool anyError = false;
    for (const std::wstring& id : o.args) {
        DWORD n = 0;
        DWORD* ids = nullptr;
        LPWSTR* texts = nullptr;
        VARTYPE* types = nullptr;
        HRESULT hr = props->QueryAvailableProperties(const_cast<wchar_t*>(id.c_str()), &n, &ids, &texts, &types);
        if (FAILED(hr)) {
            fwprintf(stderr, L"error: %ls: %ls\n", id.c_str(), HResultText(hr).c_str());
            anyError = true;
            continue;
        }
        VARIANT* values = nullptr;
        HRESULT* errors = nullptr;
        hr = props->GetItemProperties(const_cast<wchar_t*>(id.c_str()), n, ids, &values, &errors);
        wprintf(L"%ls\n", id.c_str());
        for (DWORD i = 0; i < n; ++i) {
            std::wstring value = FAILED(hr)            ? HResultText(hr)
                                 : FAILED(errors[i])   ? HResultText(errors[i])
                                                       : ValueText(values[i]);
            wprintf(L"  %4lu  %-28ls %-6ls %ls\n", static_cast<unsigned long>(ids[i]), texts[i] ? texts[i] : L"",
                    VarTypeText(types[i]).c_str(), value.c_str());
            CoTaskMemFree(texts[i]);
            if (values)
                VariantClear(&values[i]);
        }
        anyError = anyError || hr != S_OK;
        CoTaskMemFree(ids);
        CoTaskMemFree(texts);
        CoTaskMemFree(types);
        CoTaskMemFree(values);
        CoTaskMemFree(errors);
    }
    return anyError ? kItemErrors : kOk;
}

}  // namespace opcda_client
