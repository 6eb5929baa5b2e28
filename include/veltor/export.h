/// @file
/// The one export macro of the library: the same headers build the shared
/// library (VELTOR_BUILDING defined) and are used by host programs.
#pragma once

/// @def VELTOR_API
/// Marks what the library exports; empty for a static build.
#if defined(_WIN32)
#if defined(VELTOR_STATIC)
#define VELTOR_API
#elif defined(VELTOR_BUILDING)
#define VELTOR_API __declspec(dllexport)
#else
#define VELTOR_API __declspec(dllimport)
#endif
#else
#define VELTOR_API __attribute__((visibility("default")))
#endif
