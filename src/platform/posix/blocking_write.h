#pragma once
// Whole blocking writes to a descriptor, and the end of the process when its reader has gone.
#include <string_view>

namespace velmor::platform {

// Hands all of `bytes` to `fd`, waiting as long as the reader takes; a reader that has gone
// ends the process (endBySigpipe); other errors drop the write.
void writeWhole(int fd, std::string_view bytes);

// The reader is gone: ends the process by SIGPIPE, however the calling thread and the parent
// left that signal.
[[noreturn]] void endBySigpipe();

}  // namespace velmor::platform
