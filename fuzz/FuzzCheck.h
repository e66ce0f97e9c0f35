#pragma once
// A property that a harness checks: a violation is a finding (the run stops there).

#include <QString>
#include <cstdio>
#include <cstdlib>

#define FUZZ_CHECK(condition, what)                                                          \
    do {                                                                                     \
        if (!(condition)) {                                                                  \
            std::fprintf(stderr, "property violated: %s (%s:%d)\n", what, __FILE__, __LINE__); \
            std::abort();                                                                    \
        }                                                                                    \
    } while (0)

inline QString latin1(const uint8_t* data, size_t size) {
    return QString::fromLatin1(reinterpret_cast<const char*>(data), qsizetype(size));
}
