// ---------------------------------------------------------------------------
// Not API. Private to the port library.
// ---------------------------------------------------------------------------
// What a settings store accepts as its file: a regular file (through any
// symbolic links) or a name where nothing exists yet. Devices, FIFOs,
// sockets and directories are refused before they are opened for writing or
// read from, so a save never replaces a device node and a load never blocks
// on a FIFO or reads an endless device.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <string>

namespace CPort::Detail {

// The largest settings file a store reads. A port's whole record is under
// 1 KiB, so this leaves room for thousands of sections of other settings in
// a shared file, while a runaway or hostile file costs at most a few times
// this much memory while it is parsed.
constexpr std::size_t kMaxSettingsFileSize = 4 * 1024 * 1024;

// The errno with which a store refuses a file of this kind: 0 for a regular
// file, EISDIR for a directory, EINVAL for a device, FIFO or socket.
int NotRegularFileError(mode_t mode);

// 0 when `path` names a regular file or nothing at all (ENOENT), otherwise
// the errno to refuse it with. Follows symbolic links; a dangling link
// counts as nothing.
int CheckSettingsPath(const std::string& path);

// The whole content of the settings file at `path`, or an empty text when
// nothing exists there. Never blocks: a FIFO, device or socket is refused
// before it is opened, and what was opened is checked again on the open
// descriptor. Raises EComPort code 17 with the errno when the file cannot be
// read, is not a regular file, or is larger than kMaxSettingsFileSize
// (EFBIG).
std::string ReadSettingsFile(const std::string& path);

}  // namespace CPort::Detail
