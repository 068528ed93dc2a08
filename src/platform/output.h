// The process's standard output as the diagnostic lines need it: written
// directly, unbuffered, past any language runtime's stream objects. Runs
// without the interpreter lock and touches no Python object.
#pragma once

#include <string_view>

namespace zu::platform {

// Writes all of `text` to the process's standard output as it is at this
// moment: file descriptor 1 on POSIX, the standard output handle on Windows
// (which follows descriptor 1 when it is redirected). The bytes go out as
// given, with no line-end translation. A closed output, a full device or
// a pipe whose reader has gone drops the text silently; on POSIX the last
// raises no SIGPIPE (one already pending stays pending). Keeps errno.
void write_stdout(std::string_view text) noexcept;

}  // namespace zu::platform
