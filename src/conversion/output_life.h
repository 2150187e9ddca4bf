// The output's life, the same on every platform and file system:
//
//   absent --open--> drafted --publish--> published --end, kept--> kept
//                       |                     |
//                       +--end--> absent      +--end, not kept--> absent
//
// Drafted: written where nobody sees it as the copy, in the first way of
// DRAFT_WAYS this system and file system support. Published: given its name,
// once every byte is stored, by a call that never replaces anything. Kept:
// closed whole, and the name still holds it. Whatever fails on the way, the
// draft's own names are removed, and a name is removed only while it holds
// this run's file: what another program put there is never touched.
#ifndef BRMARK_CONVERSION_OUTPUT_LIFE_H
#define BRMARK_CONVERSION_OUTPUT_LIFE_H

#include "platform/platform.h"

namespace brmark {

enum class CreateResult { created, name_exists, failed };

// Whether the output name is free, looked at before anything is read:
// name_exists when anything stands there, failed when it cannot be looked at.
CreateResult output_name_free(const FileName& name);

// absent -> drafted: makes the output, never more readable than the open
// file like. Only one output exists at a time.
CreateResult open_output(const FileName& name, FileHandle like, FileHandle* handle);

// drafted -> published, once every byte is stored and before the close. A
// name that another program has taken meanwhile stays theirs: name_exists.
CreateResult publish_output(const FileName& name);

// After the output's close: kept when keep and the name still holds the
// copy, else back to absent with every name of it removed. Returns whether
// that holds: false when a kept copy is not under its name, or when
// something of an unkept one could not be removed.
bool end_output(const FileName& name, bool keep);

}  // namespace brmark

#endif
