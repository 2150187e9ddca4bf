// The output's life, the same on every platform and file system: the order
// of its steps, its names and what is removed when. The platform answers
// which of its calls a folder takes and how a file's permissions are carried.
//
//   absent --open--> drafted --keep--> published --closed, still ours--> kept
//                       |                  |
//                       +--discard--+------+--any failure--> absent
//
// Drafted: a new file, readable by its owner only until it carries the
// input's permissions (before its first byte): a file without a name where
// the folder makes one, else a hidden file beside the output name, made
// once. Published: flushed to storage, then given the output name by the
// first call the folder takes, none of which ever replaces anything or
// writes under the output name before the copy is whole. Kept: closed
// without an error, its name still holding it, its folder flushed. Until
// then an interrupt removes its names, and whatever fails removes them too;
// a name is removed only while it holds this run's file, so what another
// program put there is never touched.
#ifndef BRMARK_CONVERSION_OUTPUT_LIFE_H
#define BRMARK_CONVERSION_OUTPUT_LIFE_H

#include "platform/platform.h"

namespace brmark {

enum class OutputResult {
  done,
  name_taken,  // something stands at the output name; it is left alone
  failed,      // the output could not be made or named
  not_stored,  // its bytes could not all be stored, or it is no longer there
};

// What stands at the output name, looked at before anything is read: done
// when nothing does, name_taken when anything does, failed when it cannot
// be looked at.
OutputResult look_at_output_name(const FileName& name);

// absent -> drafted: the new file for name, for writing through the handle
// stored in *handle, never more readable than the open file like.
OutputResult open_output(const FileName& name, FileHandle like, FileHandle* handle);

// drafted -> kept, once every byte is written to the handle: flushed, named,
// closed. Anything else ends in absent, with every name of it removed; a
// folder that takes none of the naming calls gives failed. Done leaves
// interrupts held (os_hold_interrupts), so that the caller can report the
// copy before one ends the run; it releases them.
OutputResult keep_output(const FileName& name);

// Back to absent from any stage before kept: closed, and every name of it
// removed. False when something of it could not be removed.
bool discard_output(const FileName& name);

}  // namespace brmark

#endif
