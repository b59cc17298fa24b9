// Replacing a file's content so that a crash, a full disk or a failed write
// never leaves a half-written file behind.
#pragma once

#include <string>
#include <string_view>

namespace CPort::Detail {

// Writes `content` to a new file beside `path`, flushes it to the disk and
// renames it over `path` (the target of `path` when it is a symbolic link).
// An existing file keeps its permission bits; a new one gets 0666 less the
// umask. On failure raises EComPort code 16 with the errno; `path` is then
// unchanged and the temporary file removed.
void ReplaceFileContent(const std::string& path, std::string_view content);

}  // namespace CPort::Detail
