#include "ScrivelMedia/HeapReuse.hpp"

#include <mutex>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace scrivel {

namespace {

std::mutex jobsMutex;
int jobs = 0; // guarded by jobsMutex

#if defined(__GLIBC__)
// Blocks up to this size come from the heap; the heap's free top is kept up to
// the trim size. Both well above a 4K frame's buffers.
constexpr int kHeapBlockBytes = 256 << 20;
constexpr int kKeptFreeBytes = 1 << 30;
// glibc's own starting values (it raises the block size by itself unless a
// value was set, which these restore).
constexpr int kDefaultBlockBytes = 128 << 10;
constexpr int kDefaultKeptFreeBytes = 128 << 10;
#endif

} // namespace

HeapReuse::HeapReuse()
{
    std::lock_guard lock(jobsMutex);
    if (jobs++ > 0)
        return;
#if defined(__GLIBC__)
    mallopt(M_MMAP_THRESHOLD, kHeapBlockBytes);
    mallopt(M_TRIM_THRESHOLD, kKeptFreeBytes);
#endif
}

HeapReuse::~HeapReuse()
{
    std::lock_guard lock(jobsMutex);
    if (--jobs > 0)
        return;
#if defined(__GLIBC__)
    mallopt(M_MMAP_THRESHOLD, kDefaultBlockBytes);
    mallopt(M_TRIM_THRESHOLD, kDefaultKeptFreeBytes);
    malloc_trim(0);
#endif
}

} // namespace scrivel
