#pragma once
// Files replaced whole or read whole. A save goes through an exclusively created, locked
// temporary file in the target's directory, flushed before it is renamed over the target, so no
// crash leaves a partial state file and leftovers of dead saves can be told from live ones.
// Reads take regular files only, so a device or FIFO named by mistake neither blocks nor
// streams forever.

#include <optional>
#include <string>

#include "core/errors.hpp"
#include "core/result.hpp"

namespace kova {

// Replaces `path` (a symbolic link is followed and stays a link) with `text`, keeping the
// permissions of the file it replaces; on failure the target is as it was.
std::optional<NetworkError> write_atomically(const std::string& path, const std::string& text);

// The whole file as text, checked to be valid UTF-8.
Result<std::string, NetworkError> read_text_file(const std::string& path);

}  // namespace kova
