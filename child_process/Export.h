#pragma once

// The library builds with hidden visibility; only what carries this macro is
// part of its binary interface.
#define MYSQLPROCESS_API __attribute__((visibility("default")))
