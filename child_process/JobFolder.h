#pragma once

#include <string>

namespace LibMySqlProcess {

// The job folder holds every tool's error file, and the library writes in it
// as root while the tools run as another account. So a folder that any
// account but root and the caller could change, on the way or at the end,
// is refused: it could swap a folder for a link between two steps and send
// the error files (with the tools' words) wherever it likes.
//
// Opens the folder path (made of the host's results folder and the levels
// below it), walking it one component at a time from the root (or the
// working folder): each folder is opened without following a link, checked,
// and the next opened relative to it; a missing one is made (0755) relative
// to the one before. A symbolic link on the way is followed only when it
// belongs to root or the caller; a folder is accepted only when it belongs
// to root or the caller and no one else may write it (a sticky folder of
// root's, such as /tmp, excepted). Returns the folder's descriptor (O_PATH,
// close-on-exec, 3 or above), or -1 with errno (EPERM for a folder or link
// another account controls) and, in why, what was refused or failed.
int OpenJobFolder(const std::string& path, std::string& why);

}  // namespace LibMySqlProcess
