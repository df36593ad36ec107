#include "thinkgear/port_name.h"

#include <cstdlib>
#include <cstring>

namespace tg {

int ComNumber(const char *name) {
  if (std::strncmp(name, "\\\\.\\", 4) == 0) {
    name += 4;
  }
  if ((name[0] | 0x20) != 'c' || (name[1] | 0x20) != 'o' || (name[2] | 0x20) != 'm') {
    return -1;
  }
  name += 3;
  const size_t digits = std::strspn(name, "0123456789");
  if (digits == 0 || digits > 3 || name[digits] != '\0') {
    return -1;
  }
  return std::atoi(name);
}

}  // namespace tg
