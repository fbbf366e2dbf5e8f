// Diagnostic lines on the process's standard output (file descriptor 1),
// written through the C runtime's stdout, not Python's sys.stdout. Always on;
// each line is flushed as it is written so that it survives a crash and
// interleaves sensibly with other output. Safe without the interpreter lock.
#pragma once

namespace nuv {

[[gnu::format(printf, 1, 2)]] void trace(const char* format, ...);

}  // namespace nuv
