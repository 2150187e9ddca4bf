// The marked copy: the input's bytes in order, with "<br>" written in front of
// every line end.
#ifndef BRMARK_CONVERSION_MARKING_COPY_H
#define BRMARK_CONVERSION_MARKING_COPY_H

#include "conversion/text_stream.h"
#include "kernels/copy_kernel.h"

namespace brmark {

// Written in front of every line end.
constexpr char LINE_MARK[] = "<br>";

// Copies input to output until the input's end (or a read error, which the
// input stream remembers). Stops early once the output has failed, since
// nothing more of the copy can be kept. Neither opens nor closes a stream.
void copy_marking_line_ends(TextStream* input, TextStream* output);

// The same with the given kernel instead of the fastest one this processor
// runs: tests and benchmarks reach every kernel through it.
void copy_marking_line_ends_with(TextStream* input, TextStream* output, CopyKernel kernel);

}  // namespace brmark

#endif
