/* Marks what the shared library exports. Usable from C and C++ headers. */
#ifndef BACKGROUND_EXPORT_H
#define BACKGROUND_EXPORT_H

#define BACKGROUND_EXPORT __attribute__((visibility("default")))

#endif
