// The exit statuses of the programs that take the host's place.
#pragma once

// The program did what it was asked.
constexpr int kExitOk = 0;
// It could not finish what it was asked (start its threads, write its
// output), or what it judges failed.
constexpr int kExitFailed = 1;
// A bad option.
constexpr int kExitUsage = 2;
// The module cannot be used: it does not load, lacks an entry point or
// cannot create a meter instance.
constexpr int kExitModule = 3;
