// The output's life, the same on every platform and file system, and the
// only code that decides anything about it:
//
//   absent --open--> drafted --keep--> published --closed, still ours--> kept
//                       |                  |
//                       +--discard--+------+--any failure--> absent
//
// Drafted: a new file, readable by its owner only until it carries the
// input's permissions (before its first byte), written where nobody takes it
// for the copy, in the first of WAYS that the system and the folder support.
// Published: flushed to storage, then given its name by a call that never
// replaces anything. Kept: closed without an error, its name still holding
// it, and its folder flushed. Until then an interrupt removes its names, and
// whatever fails removes them too; a name is removed only while it holds
// this run's file, so what another program put there is never touched.
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

// The ways of writing the copy where nobody takes it for finished until it
// is whole, best first; a way is given up only where the folder says it does
// not take the way's calls.
enum class DraftWay {
  unnamed,       // a file without a name in the name's folder, linked to
                 // the name once whole (Linux)
  aside_link,    // a new hidden file in the name's folder, linked to the
                 // name once whole, then its own name removed
  aside_rename,  // the same, renamed to the name without replacing anything,
                 // where the file system has no hard links
  aside_claim,   // the same, where renaming cannot refuse to replace: the
                 // name is first claimed by an empty file of this run's, then
                 // the copy renamed over that claim
  guarded,       // created under the name itself, where none of the above
                 // can be done
};
constexpr DraftWay WAYS[] = {DraftWay::unnamed, DraftWay::aside_link, DraftWay::aside_rename,
                             DraftWay::aside_claim, DraftWay::guarded};

// Whether the output name is free, looked at before anything is read:
// name_taken when anything stands there, failed when it cannot be looked at.
OutputResult output_name_free(const FileName& name);

// absent -> drafted: the new file for name, for writing through *handle,
// never more readable than the open file like.
OutputResult open_output(const FileName& name, FileHandle like, FileHandle* handle);

// drafted -> kept, once every byte is written to *handle: flushed, named,
// closed. Anything else ends in absent, with every name of it removed. Done
// leaves interrupts held (os_hold_interrupts), so that the caller can report
// the copy before one ends the run; it releases them.
OutputResult keep_output(const FileName& name);

// Back to absent from any stage before kept: closed, and every name of it
// removed. False when something of it could not be removed.
bool discard_output(const FileName& name);

// The way the output in hand was drafted.
DraftWay output_way();

}  // namespace brmark

#endif
