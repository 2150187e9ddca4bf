// Prints the name of the kernel the copy uses on this processor, for the
// benchmark's report.
#include <cstdio>

#include "kernels/copy_kernel.h"

int main() {
  std::puts(brmark::kernel_name(brmark::best_kernel_kind()));
}
