// Names of temporary files and existence tests.
#pragma once

#include <filesystem>
#include <string>

namespace brindle {

// The folder for temporary files: $TMPDIR when set and writable, else /var/tmp (disk-backed, meant
// for large files: an hour of stereo floats is over a gigabyte), else /tmp. Read on every call so a
// test can point it elsewhere.
std::filesystem::path TempDirectory();

// With no extension and no directory: creates a new empty file, mode 0600, named prefix ("~Ve" when
// empty) plus a unique suffix in TempDirectory(), and returns its path.
// Otherwise: an empty directory means TempDirectory(), a missing one is created with its parents,
// an empty extension means "tmp"; the name is directory/prefix + n as "%03X" + "." + extension for
// the first n from 1 with no such file, and that file is created empty.
// Returns an empty path on any failure.
std::filesystem::path MakeTempFileName(const std::string& extension = {}, const std::string& prefix = {},
                                       const std::filesystem::path& directory = {});

// True when something exists at the path (file, folder or other). Never throws.
bool ExistsFile(const std::filesystem::path& name);

}  // namespace brindle
