// chain-tuner: takes no arguments and reads no environment; everything comes from /config.
#include "chain_tuner.hpp"
#include "posix_system.hpp"

int main() {
  tune::PosixSystem sys;
  return tune::chain_tuner_main(sys);
}
