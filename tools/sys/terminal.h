// What the programs that take the host's place know of their output streams.
#pragma once

namespace sys {

// Whether the stream is a terminal (progress lines go only there).
bool IsTerminal(int descriptor);

}  // namespace sys
