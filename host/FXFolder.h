#pragma once

#include <string>

#include "host/CKoError.h"
#include "host/HostExport.h"

struct _SECURITY_ATTRIBUTES;

class HX_HOST_API FXFolder {
public:
    static bool DoesFolderExist(const std::string& path);

    // Creates path and every missing parent (mode 0777 less the umask). The
    // attributes are ignored on this platform. On failure the result is
    // negative and AsString tells why.
    static CKoError CreateFoldersIteratively(const std::string& path, _SECURITY_ATTRIBUTES* attributes);
};
