#include "conversion/output_life.h"
#include <cstring>

namespace brmark {
namespace {

enum class Stage { absent, drafted, published, kept };

// The draft's hidden name; characters where the output name has them.
struct HiddenName {
  char bytes[DRAFT_NAME_ROOM];
  Character characters[DRAFT_NAME_ROOM];
  bool has_characters;
  FileName name() const { return FileName{bytes, has_characters ? characters : nullptr}; }
};

struct Output {  // one per run
  Stage stage;
  bool unnamed;  // a file without a name; else at hidden until published
  bool open;     // handle not yet closed
  FileHandle handle;
  FileIdentity identity;
  HiddenName hidden;
};
Output output{Stage::absent, false, false, 0, {}, {}};

// A new hidden name in the folder of name: a dot, so that listings pass over
// it, "brmark-" so that a user knows whose it is, and six characters that
// differ from call to call; short enough for any file system.
constexpr char HIDDEN_MARK[] = ".brmark-";
constexpr std::size_t HIDDEN_TAIL = 6;

bool form_hidden_name(const FileName& name, HiddenName* hidden) {
  const std::size_t folder = os_folder_length(name);
  const std::size_t mark = sizeof HIDDEN_MARK - 1;
  const std::size_t length = folder + mark + HIDDEN_TAIL;
  if (length + 1 > DRAFT_NAME_ROOM) return false;
  std::memcpy(hidden->bytes, name.bytes, folder);
  std::memcpy(hidden->bytes + folder, HIDDEN_MARK, mark);
  std::uint64_t seed = os_name_seed();
  const char digits[] = "abcdefghijklmnopqrstuvwxyz0123456789";
  for (std::size_t at = folder + mark; at < length; ++at) {
    hidden->bytes[at] = digits[seed % 36];
    seed /= 36;
  }
  hidden->bytes[length] = '\0';
  hidden->has_characters = name.characters != nullptr;
  if (hidden->has_characters) {
    std::memcpy(hidden->characters, name.characters, folder * sizeof(Character));
    for (std::size_t at = folder; at < length; ++at) {
      hidden->characters[at] = static_cast<unsigned char>(hidden->bytes[at]);
    }
  }
  return true;
}

// Whether name holds the file identity names: done; taken when another file
// does; failed when nothing does or it cannot be looked at.
NameResult holds(const FileName& name, const FileIdentity& identity) {
  FileIdentity there{};
  if (os_name_state(name, &there) != NameState::taken) return NameResult::failed;
  return same_file(there, identity) ? NameResult::done : NameResult::taken;
}

OutputResult output_result_of(NameResult result) {
  if (result == NameResult::done) return OutputResult::done;
  return result == NameResult::taken ? OutputResult::name_taken : OutputResult::failed;
}

// A new file at name, made only where nothing stands there, which an
// interrupt removes from the moment it exists; kept open in *handle, or
// closed at once where handle is nullptr (a claim has nothing to lose).
NameResult create_armed(const FileName& name, bool hidden, FileHandle* handle,
                        FileIdentity* identity) {
  os_hold_interrupts();
  FileHandle made = 0;
  NameResult result = os_create_new(name, hidden, &made);
  if (result == NameResult::done) {
    const bool known = os_handle_identity(made, identity);
    if (handle == nullptr || !known) (void)os_close(made);
    if (known) os_arm_removal(name, handle == nullptr ? 0 : made, *identity);
    if (handle != nullptr && known) *handle = made;
    if (!known) result = NameResult::failed;
  }
  os_release_interrupts();
  return result;
}

// The unnamed file where the folder makes one, else a new hidden file.
NameResult make_draft(const FileName& name) {
  const NameResult unnamed = os_open_unnamed(name, &output.handle);
  output.unnamed = unnamed == NameResult::done;
  if (output.unnamed && !os_handle_identity(output.handle, &output.identity)) {
    (void)os_close(output.handle);
    return NameResult::failed;
  }
  if (unnamed != NameResult::unsupported) return unnamed;
  for (int attempt = 0; attempt < 100; ++attempt) {
    if (!form_hidden_name(name, &output.hidden)) return NameResult::failed;
    const FileName hidden = output.hidden.name();
    const NameResult made = create_armed(hidden, true, &output.handle, &output.identity);
    if (made != NameResult::taken) return made;
  }
  return NameResult::failed;
}

// After a call that named the draft, an interrupt removes the output name.
// FAT gives a renamed file a new number where its new name is longer, so
// the draft is known by what its handle says.
void named(const FileName& name, bool renamed) {
  if (renamed && output.open) (void)os_handle_identity(output.handle, &output.identity);
  if (renamed) (void)os_disarm_removals();
  os_arm_removal(name, output.open ? output.handle : 0, output.identity);
}

// The name claimed by an empty file of this run's, checked to be still that
// file, then the draft renamed over it; the claim removed where that fails.
NameResult rename_over_claim(const FileName& hidden, const FileName& name) {
  FileIdentity claimed{};
  NameResult result = create_armed(name, false, nullptr, &claimed);
  if (result != NameResult::done) return result;
  os_hold_interrupts();
  result = holds(name, claimed);
  if (result == NameResult::done) result = os_rename_over(output.handle, hidden, name);
  if (result == NameResult::done) named(name, true);
  if (result != NameResult::done) (void)os_remove_if_same(name, claimed);
  os_release_interrupts();
  return result;
}

// Where no open file is renamed: closed (its last close), renamed, checked.
NameResult rename_closed(const FileName& hidden, const FileName& name) {
  os_hold_interrupts();
  output.open = false;
  const bool disarmed = os_disarm_removals();
  const bool closed = os_close(output.handle);
  os_arm_removal(hidden, 0, output.identity);
  NameResult result = disarmed && closed ? os_rename_new(0, hidden, name) : NameResult::failed;
  if (result == NameResult::done) {
    named(name, true);
    result = holds(name, output.identity);
  }
  os_release_interrupts();
  return result;
}

// Gives the hidden draft the output name by the first call the folder
// takes: a link, a rename that never replaces, a rename over a claim, a
// rename of the closed file. One the folder does not take passes to the
// next; any other answer is the outcome.
NameResult name_hidden_draft(const FileName& name) {
  const FileName hidden = output.hidden.name();
  // The hidden name may have been taken meanwhile.
  if (holds(hidden, output.identity) != NameResult::done) return NameResult::failed;
  if (!os_unhide(output.handle)) return NameResult::failed;
  os_hold_interrupts();
  NameResult result = os_link_new(output.handle, &hidden, name);
  if (result == NameResult::done) {
    named(name, false);
    // Should the hidden name stay, the copy is whole under its name all the same.
    (void)os_remove_if_same(hidden, output.identity);
  } else if (result == NameResult::unsupported) {
    result = os_rename_new(output.handle, hidden, name);
    if (result == NameResult::done) named(name, true);
  }
  os_release_interrupts();
  if (result == NameResult::unsupported) result = rename_over_claim(hidden, name);
  if (result == NameResult::unsupported) result = rename_closed(hidden, name);
  return result;
}

NameResult name_draft(const FileName& name) {
  if (!output.unnamed) return name_hidden_draft(name);
  os_hold_interrupts();
  const NameResult linked = os_link_new(output.handle, nullptr, name);
  if (linked == NameResult::done) named(name, false);
  os_release_interrupts();
  return linked;
}
// published -> kept: the copy's name and its last bytes stored, its close
// without an error, the name still its, and no interrupt waiting. Under held
// interrupts, so that none comes between the close and the verdict; one that
// came meanwhile takes the copy as it would have before, once released. A
// kept copy leaves them held for the caller to release.
bool settle_published(const FileName& name) {
  os_hold_interrupts();
  bool kept = os_flush_folder(name, output.open ? output.handle : 0);
  kept = os_disarm_removals() && kept;
  if (output.open) kept = os_close(output.handle) && kept;
  output.open = false;
  kept = kept && holds(name, output.identity) == NameResult::done && !os_interrupt_pending();
  output.stage = kept ? Stage::kept : Stage::absent;
  if (kept) return true;
  (void)os_remove_if_same(name, output.identity);
  os_release_interrupts();
  return false;
}

}  // namespace

OutputResult look_at_output_name(const FileName& name) {
  const NameState state = os_name_state(name);
  if (state == NameState::absent) return OutputResult::done;
  return state == NameState::taken ? OutputResult::name_taken : OutputResult::failed;
}

OutputResult open_output(const FileName& name, FileHandle like, FileHandle* handle) {
  if (output.stage == Stage::drafted || output.stage == Stage::published) {
    return OutputResult::failed;
  }
  const NameResult made = make_draft(name);
  if (made != NameResult::done) return output_result_of(made);
  os_carry_permissions(like, output.handle);
  output.open = true;
  output.stage = Stage::drafted;
  *handle = output.handle;
  return OutputResult::done;
}

OutputResult keep_output(const FileName& name) {
  if (output.stage != Stage::drafted) return OutputResult::failed;
  if (!os_flush_to_storage(output.handle)) {
    (void)discard_output(name);
    return OutputResult::not_stored;
  }
  const NameResult published = name_draft(name);
  if (published != NameResult::done) {
    (void)discard_output(name);
    return output_result_of(published);
  }
  output.stage = Stage::published;
  return settle_published(name) ? OutputResult::done : OutputResult::not_stored;
}

// Closed first, as Windows removes no file that is still open.
bool discard_output(const FileName& name) {
  if (output.stage == Stage::absent || output.stage == Stage::kept) return true;
  os_hold_interrupts();
  (void)os_disarm_removals();
  if (output.open) (void)os_close(output.handle);
  output.open = false;
  bool removed = output.stage != Stage::published || os_remove_if_same(name, output.identity);
  if (!output.unnamed)
    removed = os_remove_if_same(output.hidden.name(), output.identity) && removed;
  output.stage = Stage::absent;
  os_release_interrupts();
  return removed;
}

}  // namespace brmark
