// Whole-file reading and crash-safe replacing of the configuration files.
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <string_view>

namespace kelvox {

enum class TFileRead { Read, Missing, Failed };

/// Reads the whole file into `bytes`. Missing: no such file (`bytes` untouched);
/// Failed: the file exists but cannot be read (a directory, no permission).
TFileRead ReadWholeFile(const std::string& path, std::string& bytes);

/// The last step of ReplaceFile: puts the finished temporary file in place of the
/// target. Returns 0 or an errno value. The default is rename(2); tests stop a
/// save between the two steps by passing another.
using TRenameStep = std::function<int(const std::string& from, const std::string& to)>;

/// Replaces the file at `path` with `bytes`: writes a temporary file in the same
/// directory with permissions `mode` (less the umask), flushes it to disk and
/// renames it over the target, so a crash or a full disk leaves either the old or
/// the new file, never a part of one. Returns 0 or the errno value of the failing
/// step; on failure the temporary file is removed and the target is untouched.
int ReplaceFile(const std::string& path, std::string_view bytes, mode_t mode,
                const TRenameStep& rename_step = {});

}  // namespace kelvox
