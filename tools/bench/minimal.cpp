// Baseline of the start-up benchmark: a program that does nothing.
int wmain() { return 0; }
