// yellow-fixer: takes no arguments and reads no environment; everything comes from /config.
#include "posix_system.hpp"
#include "yellow_fixer.hpp"

int main() {
  tune::PosixSystem sys;
  return tune::yellow_fixer_main(sys);
}
