/*
 * Gridvane's version: the one place it is written. The build takes it from
 * here (the top-level CMakeLists.txt reads GRIDVANE_VERSION_STRING into
 * project(VERSION)), so the headers work from the source tree as they are;
 * change the four lines together. gridvane.h includes it.
 */
#ifndef GRIDVANE_VERSION_H
#define GRIDVANE_VERSION_H

#define GRIDVANE_VERSION_MAJOR 1
#define GRIDVANE_VERSION_MINOR 1
#define GRIDVANE_VERSION_PATCH 0
#define GRIDVANE_VERSION_STRING "1.1.0"

#endif
