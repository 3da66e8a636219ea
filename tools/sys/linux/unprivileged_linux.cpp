#include <grp.h>
#include <pwd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>

#include "tools/sys/unprivileged.h"

namespace {

bool WriteAll(int descriptor, const void* data, std::size_t size) {
  const auto* bytes = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t written = write(descriptor, bytes, size);
    if (written <= 0) {
      return false;
    }
    bytes += written;
    size -= static_cast<std::size_t>(written);
  }
  return true;
}

}  // namespace

namespace sys {

bool RunAsNobody(const std::function<std::vector<double>()>& work, std::vector<double>& results,
                 std::string& reason) {
  if (geteuid() != 0) {
    reason = "runs as root only";
    return false;
  }
  const passwd* nobody = getpwnam("nobody");
  int channel[2];
  if (nobody == nullptr || pipe(channel) != 0) {
    reason = "no user 'nobody' or no pipe";
    return false;
  }
  const uid_t user = nobody->pw_uid;
  const gid_t group = nobody->pw_gid;
  const pid_t child = fork();
  if (child == 0) {
    close(channel[0]);
    if (setgroups(0, nullptr) != 0 || setgid(group) != 0 || setuid(user) != 0) {
      _exit(2);
    }
    const std::vector<double> values = work();
    const bool sent = WriteAll(channel[1], values.data(), values.size() * sizeof(double));
    _exit(sent ? 0 : 3);
  }
  close(channel[1]);
  results.clear();
  double value = 0;
  while (read(channel[0], &value, sizeof value) == static_cast<ssize_t>(sizeof value)) {
    results.push_back(value);
  }
  close(channel[0]);
  int status = 0;
  if (child < 0 || waitpid(child, &status, 0) != child || !WIFEXITED(status) ||
      WEXITSTATUS(status) != 0) {
    reason = "the unprivileged child process failed";
    return false;
  }
  return true;
}

}  // namespace sys
