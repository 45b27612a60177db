#include "app/isp_events.h"

#include "engine/engine_texts.h"

namespace kv {

namespace {

struct TApplier {
  TIspPicture& Picture;

  void operator()(const TIspPicture& whole) const { Picture = whole; }
  void operator()(const TIspConnectionEvent& event) const { Picture.Connection = event; }
  void operator()(const TIspStepEvent& event) const { Picture.Step = event; }
  void operator()(const TIspProgressEvent& event) const { Picture.Progress = event; }
  void operator()(const TIspBusyEvent& event) const { Picture.Busy = event.Busy; }
  void operator()(const TIspMcuUpdateEvent& event) const {
    Picture.McuUpdatePending = event.Pending;
  }
  void operator()(const TIspMcuDownloadEvent& event) const { Picture.McuDownload = event; }
  void operator()(const TIspDspDownloadEvent& event) const { Picture.DspDownload = event; }
  void operator()(const TIspWaitEvent& event) const {
    Picture.Waiting[static_cast<size_t>(event.Timer)] = event.Running;
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
