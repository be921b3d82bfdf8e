// Text forms for the client: HRESULT names, values, qualities, times.
#pragma once
#include <windows.h>
#include <oleauto.h>

#include <string>
#include <vector>

// "0xC0040007 OPC_E_UNKNOWNITEMID" (the name when known).
std::wstring HResultText(HRESULT hr);
std::wstring VarTypeText(VARTYPE vt);
// Reals with 10 significant digits, or all 17 when precise.
std::wstring ValueText(const VARIANT& v, bool precise = false);
std::wstring QualityText(WORD quality);
std::wstring FileTimeText(const FILETIME& ft, bool local);
// Parses "name" of a VARTYPE (R8, I4, BOOL, ...); VT_EMPTY for "".
bool ParseVarType(const std::wstring& text, VARTYPE* vt);
// ISO 8601 with milliseconds: "2026-01-02T03:05:05.078" (the DATE's own
// time, no zone).
std::wstring IsoDateText(DATE d);
// "2026-01-02", "2026-01-02T03:05:05" or "...05.078" ('T' or a blank).
bool ParseIsoDate(const std::wstring& text, DATE* out);
// "[1, 2, 3]" into its elements' texts; "[]" gives none.
bool SplitArrayText(const std::wstring& text, std::vector<std::wstring>* elements);
