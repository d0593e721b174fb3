// Error texts of Win32 and Winsock codes, path helpers, the module path and
// the computer name. Free functions without shared state; any thread.
#pragma once

#include <windows.h>
#include <string>

// "2 (The system cannot find the file specified.)"
std::string ErrorText(DWORD dwError);
std::string LastErrorText();
// The fallback text for a Winsock code, or null when the table has no entry.
const char* GetWinsockErrorString(DWORD dwError);

std::string GetFullPath(const std::string& csPath);
std::string GetFileName(const std::string& csPath);
std::string StripExtension(const std::string& csPath);
BOOL IsDrivePath(const std::string& csPath);
BOOL IsUncPath(const std::string& csPath);
std::string GetRootOfPath(const std::string& csPath);
std::string RemoveTrailingBackslashes(const std::string& csPath);
BOOL IsRoot(const std::string& csPath);

std::string GetModulePath(HMODULE hModule);
std::string GetComputerNameText();
