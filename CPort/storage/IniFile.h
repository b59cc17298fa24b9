// TIniFile: named text and integer values in sections of an INI file.
//
// The file is read once, when the object is built (a missing file is an empty
// one). Every write is saved at once, unless it is made inside an update
// (BeginUpdate ... EndUpdate), whose writes are saved together when it ends.
// A save writes the whole file to a temporary file in the same directory,
// flushes it to the disk and renames it over the old one, so the file on disk
// is always either the old or the new content, never a half-written one; the
// file keeps its owner and permissions, and a file the user may not write is
// refused (see atomic_file_p.h for the details). Only a regular file, or a
// name where nothing exists yet, is ever read or replaced; a symbolic link
// to a regular file stays a link. A failed save raises
// EComPort code 16 ("Failed to store settings") with the errno and leaves the
// old file as it was; the value stays in the object and reaches the file
// with the next successful save.
//
// Sections and keys match without regard to ASCII letter case. Values are
// byte strings; one that begins or ends with blanks, or with a double quote at
// both ends, is written between double quotes so that it reads back exactly.
//
// Thread safety: none; use an object from one thread at a time.
//
// Part of the storage library (kelvat::cport_storage).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace CPort {

class TIniFile {
 public:
  // Reads the file. Raises EComPort code 17 ("Failed to load settings") with
  // the errno when it exists but cannot be read, or is not a regular file
  // (EISDIR for a directory, EINVAL for a device, FIFO or socket: such a
  // name is never opened for reading), or is larger than 4 MiB (EFBIG).
  explicit TIniFile(std::string fileName);
  virtual ~TIniFile();
  TIniFile(const TIniFile&) = delete;
  TIniFile& operator=(const TIniFile&) = delete;

  const std::string& FileName() const { return fileName_; }

  // The stored text, or `defaultValue` when the key is absent.
  virtual std::string ReadString(const std::string& section, const std::string& key,
                                 const std::string& defaultValue);
  // The stored integer (the syntax of ParseCharText's numbers), or
  // `defaultValue` when the key is absent or its text is not such an integer.
  virtual std::int32_t ReadInteger(const std::string& section, const std::string& key, std::int32_t defaultValue);

  // Store and save. A section, key or value that the file cannot hold
  // (a line break or a zero byte in any of them, "]" in a section, "=" in a
  // key, an empty key, blanks around a section or key) raises EComPort code
  // 16 with EINVAL, and nothing is stored.
  virtual void WriteString(const std::string& section, const std::string& key, const std::string& value);
  virtual void WriteInteger(const std::string& section, const std::string& key, std::int32_t value);

  // The keys of a section in file order (empty when there is no section).
  std::vector<std::string> ReadSection(const std::string& section) const;
  bool SectionExists(const std::string& section) const;

  // Saves the file now; raises as the writes do. Only needed after a failed
  // write, to retry.
  void UpdateFile();

  // Holds the writes back until the matching EndUpdate, so that a group of
  // them reaches the file in one save: a crash or kill part-way leaves the
  // file with all of them or none. Updates nest; the outermost EndUpdate
  // saves, when anything was written, and raises as UpdateFile does.
  // EndUpdate(false) ends an update without saving (after a failure part-way):
  // the values written stay in the object and reach the file with the next
  // save. An EndUpdate without a BeginUpdate does nothing.
  virtual void BeginUpdate();
  virtual void EndUpdate(bool save = true);

 private:
  void Store(const std::string& section, const std::string& key, const std::string& value);
  struct Impl;
  std::string fileName_;
  std::unique_ptr<Impl> impl_;
  int updateDepth_ = 0;
  bool unsaved_ = false;
};

}  // namespace CPort
