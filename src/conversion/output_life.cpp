#include "conversion/output_life.h"

#include <cstring>

namespace brmark {

namespace {

enum class Stage { absent, drafted, published, kept };

// A name of the output's own: a hidden name beside the output name, or a
// claim. Characters where the output name has them.
struct OwnName {
  char bytes[DRAFT_NAME_ROOM];
  Character characters[DRAFT_NAME_ROOM];
  bool has_characters;
  FileName name() const { return FileName{bytes, has_characters ? characters : nullptr}; }
};

// One output per run.
struct Output {
  Stage stage;
  DraftWay way;
  FileHandle handle;
  FileIdentity identity;
  OwnName aside;
};
Output output{Stage::absent, DraftWay::unnamed, 0, {}, {}};

// A new hidden name in the folder of name: a dot, so that listings pass over
// it, "brmark-" so that a user knows whose it is, and six characters that
// differ from call to call. Short enough for any file system's name limit.
constexpr char ASIDE_MARK[] = ".brmark-";
constexpr std::size_t ASIDE_TAIL = 6;

bool form_aside_name(const FileName& name, OwnName* aside) {
  const std::size_t folder = os_folder_length(name);
  const std::size_t mark = sizeof ASIDE_MARK - 1;
  if (folder + mark + ASIDE_TAIL + 1 > DRAFT_NAME_ROOM) return false;
  std::memcpy(aside->bytes, name.bytes, folder);
  std::memcpy(aside->bytes + folder, ASIDE_MARK, mark);
  std::uint64_t seed = os_name_seed();
  const char digits[] = "abcdefghijklmnopqrstuvwxyz0123456789";
  for (std::size_t at = folder + mark; at < folder + mark + ASIDE_TAIL; ++at) {
    aside->bytes[at] = digits[seed % 36];
    seed /= 36;
  }
  const std::size_t length = folder + mark + ASIDE_TAIL;
  aside->bytes[length] = '\0';
  aside->has_characters = name.characters != nullptr;
  if (aside->has_characters) {
    std::memcpy(aside->characters, name.characters, folder * sizeof(Character));
    for (std::size_t at = folder; at < length; ++at) {
      aside->characters[at] = static_cast<unsigned char>(aside->bytes[at]);
    }
  }
  return true;
}

// Whether name holds the file identity is.
bool holds(const FileName& name, const FileIdentity& identity) {
  FileIdentity there{};
  return os_name_state(name, &there) == NameState::taken && same_file(there, identity);
}

// Whether name still holds the file identity is: done; taken when another
// file stands there; failed when nothing does or it cannot be looked at.
NameResult still_holds(const FileName& name, const FileIdentity& identity) {
  FileIdentity there{};
  if (os_name_state(name, &there) != NameState::taken) return NameResult::failed;
  return same_file(there, identity) ? NameResult::done : NameResult::taken;
}

// Removes name while it holds the file identity is, judged on what was
// opened to remove it. True when nothing of that file is left under name.
bool remove_if_ours(const FileName& name, const FileIdentity& identity) {
  FileHandle removal = 0;
  if (!os_open_removal(name, &removal)) return !holds(name, identity);
  FileIdentity there{};
  if (!os_handle_identity(removal, &there)) {
    os_release_removal(removal);
    return false;
  }
  if (!same_file(there, identity)) {
    os_release_removal(removal);
    return true;
  }
  return os_remove_opened(removal, name);
}

OutputResult result_of(NameResult result) {
  switch (result) {
    case NameResult::done:
      return OutputResult::done;
    case NameResult::taken:
      return OutputResult::name_taken;
    case NameResult::unsupported:
    case NameResult::failed:
      break;
  }
  return OutputResult::failed;
}

// A new file at name, which an interrupt removes from the moment it exists.
NameResult create_armed(const FileName& name, bool hidden, FileHandle* handle,
                        FileIdentity* identity) {
  os_hold_interrupts();
  NameResult made = os_create_new(name, hidden, handle);
  if (made == NameResult::done && os_handle_identity(*handle, identity)) {
    os_arm_removal(name, *handle, *identity);
  } else if (made == NameResult::done) {
    (void)os_close(*handle);
    made = NameResult::failed;
  }
  os_release_interrupts();
  return made;
}

// A claim: an empty file of this run's at name, closed (it has nothing to
// lose at its close) and armed by its name alone.
NameResult create_claim(const FileName& name, FileIdentity* identity) {
  os_hold_interrupts();
  FileHandle claim = 0;
  NameResult made = os_create_new(name, false, &claim);
  const bool known = made == NameResult::done && os_handle_identity(claim, identity);
  if (made == NameResult::done) (void)os_close(claim);
  if (known) os_arm_removal(name, 0, *identity);
  if (made == NameResult::done && !known) made = NameResult::failed;
  os_release_interrupts();
  return made;
}

// Tries fresh hidden names until one is free; a name taken by chance is no
// failure.
NameResult create_aside(const FileName& name, OwnName* aside, FileHandle* handle,
                        FileIdentity* identity) {
  for (int attempt = 0; attempt < 100; ++attempt) {
    if (!form_aside_name(name, aside)) return NameResult::failed;
    const NameResult made = create_armed(aside->name(), true, handle, identity);
    if (made != NameResult::taken) return made;
  }
  return NameResult::failed;
}

// Closes the draft and removes the names it has: after the close, as
// Windows removes no file that is still open.
bool close_and_remove(const FileName* first, const FileName* second) {
  os_hold_interrupts();
  (void)os_disarm_removals();
  (void)os_close(output.handle);
  bool removed = first == nullptr || remove_if_ours(*first, output.identity);
  removed = (second == nullptr || remove_if_ours(*second, output.identity)) && removed;
  output.stage = Stage::absent;
  os_release_interrupts();
  return removed;
}

// FAT gives a renamed file a new number where its new name is longer: the
// draft is known by what its handle says after each rename.
void renamed() {
  (void)os_handle_identity(output.handle, &output.identity);
}

bool is_aside(DraftWay way) {
  return way == DraftWay::aside_link || way == DraftWay::aside_rename ||
         way == DraftWay::aside_claim;
}

// Whether the folder takes the aside way's publishing call: tried on the
// draft itself, with a second hidden name, which the draft keeps where it
// was renamed. False with *failed when the folder says something other than
// that it does not take the call.
bool takes_way(DraftWay way, bool* failed) {
  *failed = false;
  OwnName second{};
  NameResult tried = NameResult::taken;
  for (int attempt = 0; attempt < 100 && tried == NameResult::taken; ++attempt) {
    if (!form_aside_name(output.aside.name(), &second)) break;
    const FileName from = output.aside.name();
    const FileName to = second.name();
    os_hold_interrupts();
    if (way == DraftWay::aside_link) {
      tried = os_link_new(output.handle, &from, to);
      if (tried == NameResult::done) (void)remove_if_ours(to, output.identity);
    } else if (way == DraftWay::aside_rename) {
      tried = os_rename_new(output.handle, from, to);
    } else {
      // The claim's own step: an empty file of this run's, renamed over.
      FileIdentity claimed{};
      tried = create_claim(to, &claimed);
      if (tried == NameResult::done) {
        tried = os_rename_over(output.handle, from, to);
        if (tried != NameResult::done) (void)remove_if_ours(to, claimed);
      }
    }
    if (tried == NameResult::done && way != DraftWay::aside_link) {
      output.aside = second;
      renamed();
      (void)os_disarm_removals();
      os_arm_removal(output.aside.name(), output.handle, output.identity);
    }
    os_release_interrupts();
  }
  *failed = tried != NameResult::done && tried != NameResult::unsupported;
  return tried == NameResult::done;
}

// Makes the draft in the given way: unsupported when the folder does not
// take it, the draft's names removed again.
NameResult draft_in(DraftWay way, const FileName& name) {
  output.way = way;
  if (way == DraftWay::unnamed) {
    const NameResult made = os_open_unnamed(name, &output.handle);
    if (made == NameResult::done && !os_handle_identity(output.handle, &output.identity)) {
      (void)os_close(output.handle);
      return NameResult::failed;
    }
    return made;
  }
  if (way == DraftWay::guarded) return create_armed(name, false, &output.handle, &output.identity);
  const NameResult made = create_aside(name, &output.aside, &output.handle, &output.identity);
  if (made != NameResult::done) return made;
  bool failed = false;
  if (takes_way(way, &failed)) return NameResult::done;
  const FileName aside = output.aside.name();
  (void)close_and_remove(&aside, nullptr);
  return failed ? NameResult::failed : NameResult::unsupported;
}

// Names the draft in its way, under held interrupts, so that they remove
// the draft's name until it has the output name, and the output name after.
NameResult publish_aside(const FileName& name) {
  const FileName aside = output.aside.name();
  // The hidden name may have been taken from the draft meanwhile.
  if (!holds(aside, output.identity)) return NameResult::failed;
  if (!os_show(output.handle)) return NameResult::failed;
  FileIdentity claimed{};
  if (output.way == DraftWay::aside_claim) {
    const NameResult made = create_claim(name, &claimed);
    if (made != NameResult::done) return made;
    const NameResult claim_holds = still_holds(name, claimed);
    if (claim_holds != NameResult::done) {
      (void)remove_if_ours(name, claimed);
      return claim_holds;
    }
  }
  os_hold_interrupts();
  (void)os_disarm_removals();
  NameResult published = NameResult::failed;
  if (output.way == DraftWay::aside_link) published = os_link_new(output.handle, &aside, name);
  if (output.way == DraftWay::aside_rename) published = os_rename_new(output.handle, aside, name);
  if (output.way == DraftWay::aside_claim) published = os_rename_over(output.handle, aside, name);
  if (published == NameResult::done) {
    if (output.way != DraftWay::aside_link) renamed();
    os_arm_removal(name, output.handle, output.identity);
    // Should the hidden name stay, the copy is whole under its name all the same.
    if (output.way == DraftWay::aside_link) (void)remove_if_ours(aside, output.identity);
  } else {
    os_arm_removal(aside, output.handle, output.identity);
    if (output.way == DraftWay::aside_claim) (void)remove_if_ours(name, claimed);
  }
  os_release_interrupts();
  return published;
}

NameResult publish(const FileName& name) {
  switch (output.way) {
    case DraftWay::unnamed: {
      os_hold_interrupts();
      const NameResult linked = os_link_new(output.handle, nullptr, name);
      if (linked == NameResult::done) os_arm_removal(name, output.handle, output.identity);
      os_release_interrupts();
      return linked;
    }
    case DraftWay::guarded:
      // Another program may have saved its file there, or removed the draft.
      return still_holds(name, output.identity);
    case DraftWay::aside_link:
    case DraftWay::aside_rename:
    case DraftWay::aside_claim:
      break;
  }
  return publish_aside(name);
}

// published -> kept: the copy's name and its last bytes stored, its close
// without an error, the name still its, and no interrupt waiting. Under held
// interrupts, so that none comes between the close and the verdict; one that
// came meanwhile takes the copy as it would have before, once released. A
// kept copy leaves them held for the caller to release.
bool settle_published(const FileName& name) {
  os_hold_interrupts();
  const bool folder_flushed = os_flush_folder(name, output.handle);
  const bool disarmed = os_disarm_removals();
  const bool closed = os_close(output.handle);
  const bool kept = folder_flushed && disarmed && closed && holds(name, output.identity) &&
                    !os_interrupt_pending();
  if (!kept) (void)remove_if_ours(name, output.identity);
  output.stage = kept ? Stage::kept : Stage::absent;
  if (!kept) os_release_interrupts();
  return kept;
}

}  // namespace

OutputResult output_name_free(const FileName& name) {
  switch (os_name_state(name)) {
    case NameState::absent:
      return OutputResult::done;
    case NameState::taken:
      return OutputResult::name_taken;
    case NameState::unusable:
      break;
  }
  return OutputResult::failed;
}

OutputResult open_output(const FileName& name, FileHandle like, FileHandle* handle) {
  // One output at a time.
  if (output.stage == Stage::drafted || output.stage == Stage::published) {
    return OutputResult::failed;
  }
  for (DraftWay way : WAYS) {
    if (way == DraftWay::aside_link && !LINKS_FILES) continue;
    const NameResult made = draft_in(way, name);
    if (made == NameResult::unsupported) continue;
    if (made != NameResult::done) return result_of(made);
    os_carry_permissions(like, output.handle);
    output.stage = Stage::drafted;
    *handle = output.handle;
    return OutputResult::done;
  }
  return OutputResult::failed;
}

OutputResult keep_output(const FileName& name) {
  if (output.stage != Stage::drafted) return OutputResult::failed;
  if (!os_flush_to_storage(output.handle)) {
    (void)discard_output(name);
    return OutputResult::not_stored;
  }
  const NameResult published = publish(name);
  if (published != NameResult::done) {
    (void)discard_output(name);
    return result_of(published);
  }
  output.stage = Stage::published;
  return settle_published(name) ? OutputResult::done : OutputResult::not_stored;
}

bool discard_output(const FileName& name) {
  const FileName aside = output.aside.name();
  switch (output.stage) {
    case Stage::absent:
    case Stage::kept:
      return true;
    case Stage::published:
      return close_and_remove(&name, is_aside(output.way) ? &aside : nullptr);
    case Stage::drafted:
      break;
  }
  if (output.way == DraftWay::guarded) return close_and_remove(&name, nullptr);
  return close_and_remove(is_aside(output.way) ? &aside : nullptr, nullptr);
}

DraftWay output_way() {
  return output.way;
}

}  // namespace brmark
