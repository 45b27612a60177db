#include "app/isp_events.h"

#include "engine/engine_texts.h"

namespace kv {

namespace {

struct TApplier {
  TIspPicture& picture;

  void operator()(const TIspPicture& whole) const { picture = whole; }
  void operator()(const TIspConnectionEvent& event) const { picture.Connection = event; }
  void operator()(const TIspStepEvent& event) const { picture.Step = event; }
  void operator()(const TIspProgressEvent& event) const { picture.Progress = event; }
  void operator()(const TIspBusyEvent& event) const { picture.Busy = event.Busy; }
  void operator()(const TIspMcuUpdateEvent& event) const {
    picture.McuUpdatePending = event.Pending;
  }
  void operator()(const TIspMcuDownloadEvent& event) const { picture.McuDownload = event; }
  void operator()(const TIspDspDownloadEvent& event) const { picture.DspDownload = event; }
  void operator()(const TIspWaitEvent& event) const {
    picture.Waiting[static_cast<size_t>(event.Timer)] = event.Running;
  }
  // What happened, not where the window stands.
  void operator()(const TIspMessageEvent&) const {}
  void operator()(const TIspSessionEndEvent&) const {}
};

}  // namespace

void Apply(TIspPicture& picture, const TIspEvent& event) {
  std::visit(TApplier{picture}, event);
}

std::string_view CountingStepCaption(TIspStepKind kind) {
  switch (kind) {
    case TIspStepKind::kProgramData:
      return texts::kStepProgramData;
    case TIspStepKind::kDspChunk:
      return texts::kStepDspChunk;
    default:
      return {};
  }
}

}  // namespace kv
