// Names and texts of the result codes: the OPC codes with texts of their own
// (English), the platform's codes by name with the system's texts.
#pragma once
#include <windows.h>

#include <string>

// "OPC_E_UNKNOWNITEMID", or null for a code without a name here.
const wchar_t* ResultCodeName(HRESULT hr);
// The text of a code in a language: an OPC code's own text; another code's
// system message (as the system gives it), else a text of our own for
// the few COM codes the system may not know; "" when there is none.
std::wstring ResultCodeText(HRESULT hr, LANGID language = MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US));

// Whether IOPCServer::GetErrorString gives the OPC codes' own texts too (the
// test server's); the specified server gives only the system's texts there.
extern bool g_bOpcTextsInServerErrorString;
