#pragma once

#include <cstddef>

namespace scrivel {

// A scan or an export allocates and frees frame-sized buffers (decoded
// frames, the network tensors of every detection window and line width) many
// times a second. glibc hands blocks of 128 KiB and more straight back to the
// system, so each new one is faulted in again page by page: about a tenth of
// a scan's CPU time. While one of these objects lives, freed blocks stay in
// the heap for reuse, and OpenCV's largest buffers, which glibc maps on their
// own on any thread but the main one, are kept by the application; when the
// last one ends, the allocator's defaults come back and the free memory is
// returned to the system. Any thread; nests.
class HeapReuse {
public:
    HeapReuse();
    ~HeapReuse();
    HeapReuse(const HeapReuse&) = delete;
    HeapReuse& operator=(const HeapReuse&) = delete;

    // The bytes of freed OpenCV buffers kept for reuse now.
    static std::size_t keptBufferBytes();
};

} // namespace scrivel
