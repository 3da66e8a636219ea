// A module that answers discovery but offers no meter.
#if defined(_WIN32)
#define EXPORTED __declspec(dllexport)
#else
#define EXPORTED __attribute__((visibility("default")))
#endif

extern "C" EXPORTED const char* init() { return "Nothing"; }
