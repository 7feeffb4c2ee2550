#pragma once

#include <string>

#include "host/HostExport.h"

class EvDebug;

// Platform directories. HX_BASE_HOME (default /opt/hx) is the base home.
class HX_HOST_API HXPI_PlatformBase {
public:
    HXPI_PlatformBase();
    virtual ~HXPI_PlatformBase();

    // Valid until the next call on this object or its destruction.
    const char* getBaseHomeDirectory();

protected:
    std::string m_baseHome;
};

// The agent's link to its controller. HX_JOB_RESULTS_DIR (default
// /tmp/hx_job_results) is the results directory of every client.
class HX_HOST_API HXPI_CommClient : public HXPI_PlatformBase {
public:
    explicit HXPI_CommClient(EvDebug* debug);
    ~HXPI_CommClient() override;

    // Valid until the next call on this object or its destruction.
    const char* getJobResultsDirectory(const char* clientName);

private:
    EvDebug* m_debug;
    std::string m_resultsDir;
};

class HX_HOST_API HXPI_Focus {
public:
    // HX_CLIENT_NAME, default the host name. The text belongs to the calling
    // thread and stays valid until its next call.
    static const char* getFocusClientName(bool shortName);
};

// Platform facts; the stand-in gathers none.
class HX_HOST_API HXPlatformInfo {
public:
    HXPlatformInfo();
    ~HXPlatformInfo();
};
