#include "services/program_version.h"

#include <sys/utsname.h>

std::string ProgramVersion() { return PW_PROGRAM_VERSION; }

std::string ProgramArchitecture() {
  // The compiler knows what it built for; uname would name the kernel's
  // machine, which differs for a 32-bit build on a 64-bit kernel.
#if defined(__x86_64__)
  return "x86_64";
#elif defined(__aarch64__)
  return "aarch64";
#elif defined(__i386__)
  return "i386";
#elif defined(__arm__)
  return "arm";
#elif defined(__riscv) && __riscv_xlen == 64
  return "riscv64";
#elif defined(__powerpc64__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
  return "ppc64le";
#else
  utsname name{};
  return uname(&name) == 0 ? name.machine : "unknown";
#endif
}
