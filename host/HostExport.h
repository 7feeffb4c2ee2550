#pragma once

// The host libraries export everything they declare; the macro keeps that true
// even when a consumer builds with -fvisibility=hidden.
#define HX_HOST_API __attribute__((visibility("default")))
