// Buffers that touch an inaccessible page, so that a read or write past
// either end of what a test hands to the streams faults at once. The
// sanitizers cannot see such an access on a global buffer, whose neighbours
// make the byte before or after it valid memory.
#ifndef BRMARK_TESTS_GUARDED_PAGES_H
#define BRMARK_TESTS_GUARDED_PAGES_H

#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdlib>

namespace brmark::testing {

// capacity usable bytes between two PROT_NONE pages.
class GuardedPages {
 public:
  explicit GuardedPages(std::size_t capacity) {
    page_ = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    usable_ = (capacity + page_ - 1) / page_ * page_;
    void* mapped = mmap(nullptr, usable_ + 2 * page_, PROT_READ | PROT_WRITE,
                        MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapped == MAP_FAILED) std::abort();
    base_ = static_cast<unsigned char*>(mapped);
    if (mprotect(base_, page_, PROT_NONE) != 0 ||
        mprotect(base_ + page_ + usable_, page_, PROT_NONE) != 0) {
      std::abort();
    }
  }
  ~GuardedPages() { munmap(base_, usable_ + 2 * page_); }
  GuardedPages(const GuardedPages&) = delete;
  GuardedPages& operator=(const GuardedPages&) = delete;

  // size bytes whose first follows the leading guard page (page-aligned).
  unsigned char* at_front() const { return base_ + page_; }
  // size bytes whose last precedes the trailing guard page.
  unsigned char* at_back(std::size_t size) const { return base_ + page_ + usable_ - size; }

 private:
  unsigned char* base_ = nullptr;
  std::size_t page_ = 0;
  std::size_t usable_ = 0;
};

}  // namespace brmark::testing

#endif
