#pragma once

#include <string>

#include "child_process/SplitCommandLine.h"

namespace LibMySqlProcess {

// Passwords given on a command line must not reach the debug log, which
// others may read. The MySQL tools take one as --password=VALUE (also a
// prefix such as --pas=, the --loose- form, '_' for '-', and the second and
// third factors --password1= to --password3=) or as -pVALUE, also among
// grouped short options (-Bps3cret). A bare --password or -p makes the tool
// prompt, so the word after it is no secret. The splitter may join such a
// word to others in one argument (--stop-datetime=DATE --password=VALUE, a
// quoted group), so every space-separated word of an argument is looked at.

// True when arg carries a password; masked then holds the text to log in its
// place ("--password=*****", "-p*****"), which ends where the password's
// value begins.
bool MaskSecret(const char* arg, std::string& masked);

// The command line to log: every argument that carries a password replaced,
// where it stands, by its masked text; the rest exactly as given.
std::string MaskSecrets(const std::string& line, char* const* argv, const ArgSpan* spans, int argc);

}  // namespace LibMySqlProcess
