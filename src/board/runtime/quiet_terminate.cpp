// The self-contained board programs end what cannot happen with a plain abort, without the
// C++ and C libraries' wordier endings and what those bring onto the board's flash. Linked
// into the static programs only, as an object of their own, so that it takes the place of
// the libraries' own:
// - an uncaught exception (which their mains never let through): the C++ library's default
//   handler would print the type's demangled name, and bring its demangler, a twentieth of
//   each program;
// - a failed assertion inside the C library: its own report would translate its words
//   through the message catalogues, and bring their character set conversions.
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <initializer_list>

namespace __gnu_cxx {

void __verbose_terminate_handler() {
  std::abort();
}

}  // namespace __gnu_cxx

extern "C" [[noreturn]] void __assert_fail(const char* assertion, const char* file, unsigned int,
                                           const char*) noexcept {
  for (const char* piece : {file, ": assertion failed: ", assertion, "\n"}) {
    ssize_t written = write(STDERR_FILENO, piece, std::strlen(piece));
    (void)written;
  }
  std::abort();
}
