// The ftp:// side of `tavsock get`.
//
// `tavsock get` picks its client by the URL's scheme: every argument of `get` (the URL
// first) goes to FtpGetCommand when the URL starts with "ftp://" (in any letter case).
// FtpGetUsage() is the option text for the help of `get`.
#pragma once

#include "Tool.hpp"

#include <string>

namespace tavtool {

/// `tavsock get ftp://[USER[:PASS]@]HOST[:PORT]/FILE [-o FILE|-] [--active] [--timeout S]`:
/// retrieves FILE (to standard output by default). Returns the exit code: 0 when the final
/// reply was positive and the byte count is the size the server announced, 1 with a
/// one-line reason on stderr otherwise; bad arguments throw UsageError.
int FtpGetCommand(const Args& args);
std::string FtpGetUsage();

}  // namespace tavtool
