#include "host/HXPI.h"

#include <unistd.h>

#include <climits>
#include <cstdio>

#include "host/EvDebug.h"

#include "host/HostEnv.h"

HXPI_PlatformBase::HXPI_PlatformBase() = default;

HXPI_PlatformBase::~HXPI_PlatformBase() = default;

const char* HXPI_PlatformBase::getBaseHomeDirectory()
{
    m_baseHome = hxhost::EnvOr("HX_BASE_HOME", hxhost::kDefaultBaseHome);
    return m_baseHome.c_str();
}

HXPI_CommClient::HXPI_CommClient(EvDebug* debug) : m_debug(debug) {}

HXPI_CommClient::~HXPI_CommClient() = default;

const char* HXPI_CommClient::getJobResultsDirectory(const char* clientName)
{
    m_resultsDir = hxhost::EnvOr("HX_JOB_RESULTS_DIR", hxhost::kDefaultJobResultsDir);
    if (m_debug != nullptr)
        m_debug->DebugLvl("HXPI_CommClient::getJobResultsDirectory", 9, "client [%s] results [%s]",
                          clientName != nullptr ? clientName : "", m_resultsDir.c_str());
    return m_resultsDir.c_str();
}

const char* HXPI_Focus::getFocusClientName(bool)
{
    thread_local char name[HOST_NAME_MAX + 1];
    const char* configured = getenv("HX_CLIENT_NAME");
    if (configured != nullptr && configured[0] != '\0') {
        snprintf(name, sizeof name, "%s", configured);
    } else if (gethostname(name, sizeof name) != 0) {
        snprintf(name, sizeof name, "localhost");
    }
    name[sizeof name - 1] = '\0';
    return name;
}

HXPlatformInfo::HXPlatformInfo() = default;

HXPlatformInfo::~HXPlatformInfo() = default;
