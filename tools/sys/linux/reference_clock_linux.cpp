#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include "tools/sys/reference_clock.h"

namespace {

const char kRefined[] = "tsc: Refined TSC clocksource calibration: ";
const char kDetected[] = "tsc: Detected ";

// The number that follows prefix in record, if both are there.
bool NumberAfter(const char* record, const char* prefix, double& value) {
  const char* start = std::strstr(record, prefix);
  if (start == nullptr) {
    return false;
  }
  start += std::strlen(prefix);
  char* end = nullptr;
  value = std::strtod(start, &end);
  return end != start;
}

// The last "tsc: Refined TSC clocksource calibration: X MHz" or
// "tsc: Detected X MHz processor" line of the kernel log.
bool FromKernelLog(double& megahertz, std::string& source) {
  const int log = open("/dev/kmsg", O_RDONLY | O_NONBLOCK);
  if (log < 0) {
    return false;
  }
  bool found = false;
  bool refined = false;  // a refined calibration outranks the boot-time figure
  char record[8192];
  ssize_t length = 0;
  while ((length = read(log, record, sizeof record - 1)) > 0 || (length < 0 && errno == EPIPE)) {
    if (length <= 0) {
      continue;  // a record overwritten while reading; go on with the next
    }
    record[length] = '\0';
    double value = 0;
    if (NumberAfter(record, kRefined, value)) {
      megahertz = value;
      source = "kernel log, refined calibration";
      found = refined = true;
    } else if (!refined && NumberAfter(record, kDetected, value) &&
               std::strstr(record, "MHz processor") != nullptr) {
      megahertz = value;
      source = "kernel log, detected at boot";
      found = true;
    }
  }
  close(log);
  return found;
}

}  // namespace

namespace sys {

std::int64_t ReadRawNanoseconds() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC_RAW, &now);
  return static_cast<std::int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

bool KernelTscMegahertz(double& megahertz, std::string& source) {
  std::ifstream sysfs("/sys/devices/system/cpu/cpu0/tsc_freq_khz");
  double kilohertz = 0;
  if (sysfs >> kilohertz && kilohertz > 0) {
    megahertz = kilohertz / 1000.0;
    source = "sysfs tsc_freq_khz";
    return true;
  }
  return FromKernelLog(megahertz, source);
}

}  // namespace sys
