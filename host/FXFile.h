#pragma once

#include <string>

#include "host/HostExport.h"

class HX_HOST_API FXFile {
public:
    // True when path names something that exists and is not a folder.
    static bool DoesFileExist(const std::string& path);
};
