// Text forms for the client: HRESULT names, values, qualities, times.
#pragma once
#include <windows.h>
#include <oleauto.h>

#include <string>

// "0xC0040007 OPC_E_UNKNOWNITEMID" (the name when known).
std::wstring HResultText(HRESULT hr);
std::wstring VarTypeText(VARTYPE vt);
// Reals with 10 significant digits, or all 17 when precise.
std::wstring ValueText(const VARIANT& v, bool precise = false);
std::wstring QualityText(WORD quality);
std::wstring FileTimeText(const FILETIME& ft, bool local);
// Parses "name" of a VARTYPE (R8, I4, BOOL, ...); VT_EMPTY for "".
bool ParseVarType(const std::wstring& text, VARTYPE* vt);
