// Debugger trace output and assertions.
//
// Every line goes to OutputDebugStringW. A process may also install a trace
// sink (the tests do) that receives every piece of text written.
#pragma once
#include <windows.h>

// Formats a wide printf-style message into 512 characters and writes it with
// one OutputDebugStringW call. Longer messages are cut at 511 characters.
void DebugTrace(const wchar_t* format, ...);

// Writes text as it is (one OutputDebugStringW call).
void TraceText(const wchar_t* text);

using TraceSinkFn = void (*)(const wchar_t* text);
// Installs a sink that sees every piece of trace text; nullptr removes it.
void SetTraceSink(TraceSinkFn sink);

// Reports a failed invariant (file, line, expression), offers the debugger a
// break, and returns: assertions never stop the process.
void ReportAssertion(const char* file, int line, const char* expression);
// An internal consistency failure without an expression: breaks into an
// attached debugger and goes on.
void ReportInternalError(const char* file, int line);

#define VANTREL_ASSERT(expr) \
    ((expr) ? (void)0 : ReportAssertion(__FILE__, __LINE__, #expr))
#define VANTREL_INTERNAL_ERROR() ReportInternalError(__FILE__, __LINE__)

// Number of assertions reported so far (lets tests see that one fired).
long AssertionCount();

// "+++++AddRef() ..." / "~~~~~Release() ..." lines.
void TraceAddRef(const wchar_t* name, const void* object, long count);
void TraceRelease(const wchar_t* name, const void* object, long count);
// The QueryInterface line: "<name> - <interface name>[ - failed]\n", the
// interface name read from HKCR\Interface\{iid}.
void TraceQueryInterface(const wchar_t* name, REFIID riid, HRESULT hr);
