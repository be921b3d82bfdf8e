// "Vantrel.exe -Shutdown [reason]": asks the running server to end. The
// server calls ShutdownRequest(reason) on every advised IOPCShutdown of every
// server object, disconnects its clients' objects and ends.
#pragma once
#include <windows.h>

#include <string>

// Finds "-Shutdown" or "/Shutdown" (any letter case) as a word of the command
// line; *pReason gets what follows it (quotes taken off), or "".
bool ScanShutdown(const wchar_t* commandLine, std::wstring* pReason);

// The second process: signals the running server and waits up to 30 s for it
// to end. Returns the exit code: 0 when it ended, 1 with a message on the
// standard error when no server runs or it did not end.
int RunShutdownCommand(const std::wstring& reason);

// In the serving process: the thread that waits for the request.
void StartShutdownListener();
void StopShutdownListener();
