// Executable lookup and version text of a listed process name: the file is
// found as the command interpreter would find it (the name itself, relative
// to the current directory, then each PATH directory in order) and its
// version resource gives the text "product-file" (2.0-2.0.1.5). The search
// is made on every call; the version text of a found file is kept by its
// full path and read again only when the file's size, creation or
// last-write time differs from when it was read. Any thread (the kept texts
// are locked), though the search depends on the current directory and PATH
// of the process.
#pragma once

#include <windows.h>
#include <string>

// Full path of the executable of csExeName (".exe" added when the name has no
// extension), or empty after a trace message when it is not found.
std::string FindExecutableFile(const std::string& csExeName);

// The full path of the image file behind a process handle, in Win32 form
// ("C:\dir\prog.exe", as QueryFullProcessImageNameW gives it; psapi's
// module file name where that call is missing); empty when the system does
// not tell. The handle needs PROCESS_QUERY_LIMITED_INFORMATION (or, before
// Vista, PROCESS_QUERY_INFORMATION and PROCESS_VM_READ).
std::wstring GetProcessImagePath(HANDLE hProcess);

// csPath (ANSI code page) and wsImage name the same file: the same full path
// in its long form without regard to case, or, where the texts differ (one
// file reached through two drives or a link), the same file index on the
// same volume.
BOOL IsSameFile(const std::string& csPath, const std::wstring& wsImage);

// The version text of the file that FindExecutableFile finds; empty when
// there is no file or no version resource. Served from the kept texts while
// the file is unchanged.
std::string GetVersionTextOf(const std::string& csExeName);

// How many version resources GetVersionTextOf has read from files.
DWORD GetVersionReadCount();

// The version text of the file at csPath; empty without a version resource.
// Without a translation table the US English string tables are used
// (Unicode, then Windows Latin-1), and "-" when neither exists.
std::string GetFileVersionText(const std::string& csPath);

// Value pszValueName of the string table that the translation entry
// *pdwTranslation (language in the low word, code page in the high word)
// names, in the buffer of GetFileVersionInfoA. FALSE, leaving *pcsValue as it
// was, when the value is missing or empty.
BOOL QueryVersionString(const void* pvVersionInfo, const DWORD* pdwTranslation, const char* pszValueName,
                        std::string* pcsValue);
