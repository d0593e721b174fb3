// Executable lookup and version text of a listed process name: the file is
// found as the command interpreter would find it (the name itself, relative
// to the current directory, then each PATH directory in order) and its
// version resource gives the text "product-file" (2.0-2.0.1.5). Nothing is
// cached: the file system is read on every call. Free functions without
// shared state; any thread, though the search depends on the current
// directory and PATH of the process.
#pragma once

#include <windows.h>
#include <string>

// Full path of the executable of csExeName (".exe" added when the name has no
// extension), or empty after a trace message when it is not found.
std::string FindExecutableFile(const std::string& csExeName);

// The version text of the file that FindExecutableFile finds; empty when
// there is no file or no version resource.
std::string GetVersionTextOf(const std::string& csExeName);

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
