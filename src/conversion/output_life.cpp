#include "conversion/output_life.h"

namespace brmark {

namespace {

enum class OutputStage { absent, drafted, published, kept };

// One output per run.
OutputStage stage = OutputStage::absent;
Draft draft;

CreateResult result_of(StepResult step) {
  if (step == StepResult::done) return CreateResult::created;
  return step == StepResult::name_taken ? CreateResult::name_exists : CreateResult::failed;
}

}  // namespace

CreateResult output_name_free(const FileName& name) {
  switch (os_name_state(name)) {
    case NameState::absent:
      return CreateResult::created;
    case NameState::taken:
      return CreateResult::name_exists;
    case NameState::unusable:
      break;
  }
  return CreateResult::failed;
}

CreateResult open_output(const FileName& name, FileHandle like, FileHandle* handle) {
  if (stage != OutputStage::absent) return CreateResult::failed;
  for (DraftWay way : DRAFT_WAYS) {
    const StepResult step = os_open_draft(way, name, like, &draft);
    if (step == StepResult::unavailable) continue;
    if (step == StepResult::done) {
      stage = OutputStage::drafted;
      *handle = draft.handle;
    }
    return result_of(step);
  }
  return CreateResult::failed;
}

CreateResult publish_output(const FileName& name) {
  if (stage != OutputStage::drafted) return CreateResult::failed;
  const StepResult step = os_publish_draft(&draft, name);
  if (step == StepResult::done) stage = OutputStage::published;
  return result_of(step);
}

bool end_output(const FileName& name, bool keep) {
  const OutputStage ended = stage;
  stage = OutputStage::absent;
  switch (ended) {
    case OutputStage::drafted:
      return os_discard_draft(draft, name) && !keep;
    case OutputStage::published:
      if (!keep) return os_remove_published(name, draft);
      if (!os_name_holds(name, draft)) return false;
      stage = OutputStage::kept;
      return true;
    case OutputStage::absent:
    case OutputStage::kept:
      break;
  }
  return !keep;
}

}  // namespace brmark
