// A module that answers discovery but offers no meter.
extern "C" __attribute__((visibility("default"))) const char* init() { return "Nothing"; }
