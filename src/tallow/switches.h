#pragma once

struct CDriverInfPaths;

// The exit code of a run whose operation could not start because a system library it
// needs cannot be loaded (ERROR_MOD_NOT_FOUND); no successful outcome gives it.
inline constexpr int kSystemLibraryMissing = 126;

// Runs the operation that the switch names (any letter case) and returns its result;
// an unknown switch runs nothing and gives 0.
int RunSwitch(CDriverInfPaths& record, const wchar_t* switchText);
