// The self-contained board programs end an uncaught exception (which their mains never let
// through) with a plain abort: the C++ library's default handler would print the type's
// demangled name, and bring its demangler, a twentieth of each program, onto the board's
// flash. Linked into the static programs only, as an object of their own, so that it takes
// the place of the library's handler.
#include <cstdlib>

namespace __gnu_cxx {

void __verbose_terminate_handler() {
  std::abort();
}

}  // namespace __gnu_cxx
