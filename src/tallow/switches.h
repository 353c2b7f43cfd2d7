#pragma once

struct CDriverInfPaths;

// Runs the operation that the switch names (any letter case) and returns its result;
// an unknown switch runs nothing and gives 0.
int RunSwitch(CDriverInfPaths& record, const wchar_t* switchText);
