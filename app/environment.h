// ENV: the variables a definition-file line adds to the environment its
// process inherits. A line keeps its entries as written ("NAME=VALUE", in
// file order, the GLOBAL line's merged in); at each start they are expanded
// (%VAR% from the supervisor's environment) and laid over the supervisor's
// current environment, whose other variables (PATH among them) stay. Names
// compare without regard to case, as Windows compares them. The block is
// Unicode, so that variables of the supervisor that the ANSI code page
// cannot hold reach the process unchanged. Free functions; any thread.
#pragma once

#include <windows.h>
#include <string>
#include <vector>

#include "common/strutil.h"

// Splits "NAME=VALUE" at its first "=". FALSE when there is none or the name
// is empty (a definition error).
BOOL SplitEnvEntry(const std::string& csEntry, std::string& csName, std::string& csValue);

// A line's list: the GLOBAL line's entries whose names the line does not
// give itself, then the line's own, each in file order.
CStringArray CombineEnvEntries(const CStringArray& acsGlobal, const CStringArray& acsOwn);

// The entries that take effect, one per name (the last of each), as
// "NAME=VALUE" with the name in upper case, sorted: two lines whose lists
// give the same result compare equal.
CStringArray EffectiveEnvEntries(const CStringArray& acsEntries);

// The environment of this process, one "NAME=VALUE" string a variable, in
// block order (the hidden "=C:=..." ones included).
std::vector<std::wstring> GetProcessEnvironment();

// What a process started with acsEntries gets: the process environment
// awsBase, each entry's %VAR% references expanded from this process's
// environment (a reference to a variable that does not exist stays as it
// is) and laid over it, sorted by name as Windows keeps a block.
std::vector<std::wstring> BuildProcessEnvironment(const std::vector<std::wstring>& awsBase,
                                                  const CStringArray& acsEntries);
