// Runs a piece of work as a user without privileges, to see what a host that
// cannot raise its priority gets.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace sys {

// Where the program runs as root: runs work in a child process as the user
// "nobody" and hands back the numbers it produced. False with reason
// otherwise: the program is not root, or the OS has no such thing.
bool RunAsNobody(const std::function<std::vector<double>()>& work, std::vector<double>& results,
                 std::string& reason);

}  // namespace sys
