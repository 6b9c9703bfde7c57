// The smallest PE32 console program of the build: starts and ends with exit code 0. It is the
// baseline of the start-up figures and the program a script calls in the benchmarks.
int wmain() { return 0; }
