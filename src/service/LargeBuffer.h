#pragma once
// A large buffer that is about to be written whole (the Base64 text of a file, a form
// body): asking for huge pages saves most of the page faults of its first writing.

#include <sys/mman.h>

#include <QByteArray>
#include <QtGlobal>

namespace norvane {

inline void adviseLargeBuffer(char* data, qsizetype size) {
#ifdef MADV_HUGEPAGE
    constexpr quintptr kHuge = 2 * 1024 * 1024;
    if (size < qsizetype(4 * kHuge)) return;
    const quintptr begin = (quintptr(data) + kHuge - 1) & ~(kHuge - 1);
    const quintptr end = (quintptr(data) + quintptr(size)) & ~(kHuge - 1);
    if (end > begin) ::madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
#else
    Q_UNUSED(data);
    Q_UNUSED(size);
#endif
}

}  // namespace norvane
