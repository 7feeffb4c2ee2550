#pragma once

#include "host/EvDebug.h"

// Every line of an operation goes through the object's event with the tag
// "MySqlChildProcess::<operation>". Before a successful Initialize there is
// no event, and then nothing is logged. MSCP_LOG_TAG takes the whole tag,
// for code that serves several operations.
#define MSCP_LOG_TAG(event, tag, ...)                                    \
    do {                                                                 \
        if ((event) != nullptr)                                          \
            (event)->Debug((tag), __VA_ARGS__);                          \
    } while (0)

#define MSCP_LOG(event, op, ...) MSCP_LOG_TAG(event, "MySqlChildProcess::" op, __VA_ARGS__)

#define MSCP_LOG_LVL(event, op, level, ...)                              \
    do {                                                                 \
        if ((event) != nullptr)                                          \
            (event)->DebugLvl("MySqlChildProcess::" op, level, __VA_ARGS__); \
    } while (0)
