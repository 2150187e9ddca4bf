// Which kernels this build has and this processor runs. The one place that
// knows about processor features.
#include "kernels/copy_kernel.h"

namespace brmark {

CopyProgress copy_kernel_portable(CopyProgress from, const unsigned char* in_end,
                                  const unsigned char* out_end);
#if defined(BRMARK_X86_KERNELS)
CopyProgress copy_kernel_sse2(CopyProgress from, const unsigned char* in_end,
                              const unsigned char* out_end);
CopyProgress copy_kernel_avx2(CopyProgress from, const unsigned char* in_end,
                              const unsigned char* out_end);
CopyProgress copy_kernel_avx512(CopyProgress from, const unsigned char* in_end,
                                const unsigned char* out_end);
#endif

namespace {

// GCC and clang read cpuid, and for AVX2 also whether the operating system
// saves the wide registers, once at start-up. 64-bit x86 always has SSE2.
#if defined(BRMARK_X86_KERNELS) && defined(__GNUC__)
bool runs_sse2() {
  return __builtin_cpu_supports("sse2");
}
bool runs_avx2() {
  return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("bmi");
}
// Also asks for VBMI2, which only processors that pay little or nothing for
// 512-bit integer work have (Ice Lake and later, Zen 4): on the first
// AVX-512 parts the clock drops and AVX2 is as fast. The kernel's byte
// permutes need VBMI, and its count of squeezed-out bytes POPCNT, which all
// of them have.
bool runs_avx512() {
  return runs_avx2() && __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
         __builtin_cpu_supports("avx512vbmi") && __builtin_cpu_supports("avx512vbmi2") &&
         __builtin_cpu_supports("popcnt");
}
#elif defined(BRMARK_X86_KERNELS) && defined(_M_X64)
bool runs_sse2() {
  return true;
}
bool runs_avx2() {
  return false;
}
bool runs_avx512() {
  return false;
}
#endif

}  // namespace

CopyKernel copy_kernel(KernelKind kind) {
  switch (kind) {
    case KernelKind::portable:
      return copy_kernel_portable;
#if defined(BRMARK_X86_KERNELS)
    case KernelKind::sse2:
      return runs_sse2() ? copy_kernel_sse2 : nullptr;
    case KernelKind::avx2:
      return runs_avx2() ? copy_kernel_avx2 : nullptr;
    case KernelKind::avx512:
      return runs_avx512() ? copy_kernel_avx512 : nullptr;
#endif
    default:
      return nullptr;
  }
}

const char* kernel_name(KernelKind kind) {
  switch (kind) {
    case KernelKind::portable:
      return "portable";
    case KernelKind::sse2:
      return "sse2";
    case KernelKind::avx2:
      return "avx2";
    case KernelKind::avx512:
      return "avx512";
  }
  return "unknown";
}

KernelKind best_kernel_kind() {
  KernelKind best = KernelKind::portable;
  for (KernelKind kind : KERNEL_KINDS) {
    if (copy_kernel(kind) != nullptr) best = kind;
  }
  return best;
}

CopyKernel best_copy_kernel() {
  return copy_kernel(best_kernel_kind());
}

}  // namespace brmark
