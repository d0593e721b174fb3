// Where the test helper child program (childproc.exe) lives: beside the
// running test executable; the build puts it there.
#pragma once

#include <windows.h>
#include <string>

#include "common/filestuf.h"

inline std::string GetChildProcPath()
{
    std::string csPath = GetModulePath(NULL);
    std::string::size_type iSlash = csPath.find_last_of("\\/");
    return (iSlash == std::string::npos ? std::string() : csPath.substr(0, iSlash + 1)) + "childproc.exe";
}
