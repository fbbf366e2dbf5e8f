#include "transport/trace.h"

#include <cstdarg>
#include <cstdio>

namespace nuv {

void trace(const char* format, ...) {
  va_list args;
  va_start(args, format);
  // Hold the stream lock across format and flush so lines from two threads
  // never mix.
  flockfile(stdout);
  vfprintf(stdout, format, args);
  fflush(stdout);
  funlockfile(stdout);
  va_end(args);
}

}  // namespace nuv
