// ---------------------------------------------------------------------------
// Not API. Private to the port library.
// ---------------------------------------------------------------------------
// Replacing a file's content so that a crash, a kill, a full disk or a failed
// write never leaves a half-written file behind.
#pragma once

#include <string>
#include <string_view>

namespace CPort::Detail {

// Writes `content` to a new file beside `path`, flushes it to the disk and
// renames it over `path` (the target of `path` when it is a symbolic link),
// so the file always holds either the old or the new content.
//
// An existing file keeps its owner, group and permission bits; a new one gets
// 0666 less the umask. Where the owner or group cannot be kept (a user saving
// a group-writable file that another user owns), the file is rewritten in
// place instead, which keeps them but is not safe against a crash part-way.
//
// Only a regular file, or a name where nothing exists, is replaced: a device
// node, FIFO, socket or directory (also behind a link) is refused with
// EINVAL (EISDIR for a directory) before anything is created beside it.
//
// An existing file that the caller may not write is refused before anything
// happens (EACCES, or what the system answers). A file with no write
// permission bit at all counts as read-only for every user, root included,
// although root's access checks would let it through: read-only is what the
// file's owner asked for.
//
// Temporary files left by a save that was killed part-way are removed by the
// next save of the same file; a temporary file is locked (flock) while its
// save runs, so a save under way elsewhere keeps its own.
//
// On failure raises EComPort code 16 with the errno; `path` is then
// unchanged and the temporary file removed.
void ReplaceFileContent(const std::string& path, std::string_view content);

}  // namespace CPort::Detail
