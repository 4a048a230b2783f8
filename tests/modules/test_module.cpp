// A module for the loader's tests.
extern "C" __attribute__((visibility("default"))) int KvTestAnswer() { return 42; }
