#include "common/Trace.h"

#include <cstdarg>
#include <cstdio>
#include <cwchar>
#include <atomic>

namespace {
std::atomic<TraceSinkFn> g_traceSink{nullptr};
std::atomic<long> g_assertions{0};

void Emit(const wchar_t* text)
{
    OutputDebugStringW(text);
    if (TraceSinkFn sink = g_traceSink.load())
        sink(text);
}
}  // namespace

void SetTraceSink(TraceSinkFn sink) { g_traceSink.store(sink); }

void TraceText(const wchar_t* text) { Emit(text); }

void DebugTrace(const wchar_t* format, ...)
{
    constexpr size_t kChars = 512;
    wchar_t buffer[kChars];
    va_list args;
    va_start(args, format);
    // _vsnwprintf writes at most kChars - 1 characters here and leaves the
    // buffer unterminated when the message is longer: terminate it ourselves.
    int n = _vsnwprintf(buffer, kChars - 1, format, args);
    va_end(args);
    if (n < 0 || static_cast<size_t>(n) >= kChars - 1)
        buffer[kChars - 1] = L'\0';
    else
        buffer[n] = L'\0';
    Emit(buffer);
}

void ReportAssertion(const char* file, int line, const char* expression)
{
    g_assertions.fetch_add(1);
    DebugTrace(L"Assertion failed: %hs, file %hs, line %d\n", expression, file, line);
    if (IsDebuggerPresent())
        DebugBreak();
}

void ReportInternalError(const char* file, int line)
{
    g_assertions.fetch_add(1);
    DebugTrace(L"Internal error: file %hs, line %d\n", file, line);
    if (IsDebuggerPresent())
        DebugBreak();
}

long AssertionCount() { return g_assertions.load(); }

void TraceAddRef(const wchar_t* name, const void* object, long count)
{
    DebugTrace(L"+++++AddRef()     %s::%p  refcount = %d +++\n", name, object, static_cast<int>(count));
}

void TraceRelease(const wchar_t* name, const void* object, long count)
{
    DebugTrace(L"~~~~~Release() %s::%p  refcount = %d ---\n", name, object, static_cast<int>(count));
}

namespace {
// Reads the default value of HKCR\<prefix>\<iid> into a 200-byte buffer.
bool ReadClassesRootDefault(const wchar_t* prefix, const wchar_t* iid, wchar_t* out, DWORD bytes)
{
    wchar_t keyName[128];
    _snwprintf(keyName, 127, L"%s\\%s", prefix, iid);
    keyName[127] = L'\0';
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_CLASSES_ROOT, keyName, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return false;
    DWORD type = 0;
    DWORD size = bytes - sizeof(wchar_t);
    LONG rc = RegQueryValueExW(key, nullptr, nullptr, &type, reinterpret_cast<BYTE*>(out), &size);
    RegCloseKey(key);
    if (rc != ERROR_SUCCESS || (type != REG_SZ && type != REG_EXPAND_SZ))
        out[0] = L'\0';
    else
        out[size / sizeof(wchar_t)] = L'\0';
    return true;
}
}  // namespace

void TraceQueryInterface(const wchar_t* name, REFIID riid, HRESULT hr)
{
    Emit(name);
    Emit(L" - ");
    LPOLESTR iidText = nullptr;
    if (SUCCEEDED(StringFromCLSID(riid, &iidText)) && iidText) {
        wchar_t value[100] = L"";  // 200 bytes
        if (ReadClassesRootDefault(L"Interface", iidText, value, sizeof(value))) {
            Emit(value);
        } else if (ReadClassesRootDefault(L"CLSID", iidText, value, sizeof(value))) {
            Emit(L"(CLSID???) ");
            Emit(value);
        } else {
            Emit(iidText);
        }
        CoTaskMemFree(iidText);
    }
    if (FAILED(hr))
        Emit(L" - failed");
    Emit(L"\n");
}
