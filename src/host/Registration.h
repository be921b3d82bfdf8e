// Command line and registration of the server.
#pragma once
#include <windows.h>

enum class CommandLineAction { Serve, RegServer, UnregServer };

// Finds the registration switch: after '-' or '/', the whole rest of the line
// must be "UnregServer" or "RegServer" (any letter case). Anything else serves.
CommandLineAction ScanCommandLine(const wchar_t* commandLine);
// True when COM started the process for a client ("-Embedding" or "/Embedding").
bool ScanEmbedding(const wchar_t* commandLine);

// Runs the "REGISTRY" script resource nID of the module with the registrar,
// the replacement "Module" set to the module's path.
HRESULT RunRegistryScript(HMODULE module, UINT nID, bool doRegister);

// Loads the type library from the module, else from the ".tlb" beside it, and
// registers it.
HRESULT RegisterModuleTypeLib(HMODULE module);

// The whole "RegServer" / "UnregServer" action; returns the exit code.
HRESULT RegisterServer(HMODULE module);
HRESULT UnregisterServer(HMODULE module);
