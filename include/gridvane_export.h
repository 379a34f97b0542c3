/* Export control for the Gridvane C interface. */
#ifndef GRIDVANE_EXPORT_H
#define GRIDVANE_EXPORT_H

#if defined(_WIN32)
#    if defined(GRIDVANE_BUILDING)
#        define GRIDVANE_API __declspec(dllexport)
#    elif defined(GRIDVANE_STATIC)
#        define GRIDVANE_API
#    else
#        define GRIDVANE_API __declspec(dllimport)
#    endif
#elif defined(__GNUC__) || defined(__clang__)
#    define GRIDVANE_API __attribute__((visibility("default")))
#else
#    define GRIDVANE_API
#endif

#endif
