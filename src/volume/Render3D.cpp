#include "volume/Render3D.h"

// Placeholder definitions: the ray caster is being written.

const char* RenderModeName(TRenderMode m) {
  switch (m) {
    case TRenderMode::Vr:
      return "vr";
    case TRenderMode::Mip:
      return "mip";
    case TRenderMode::MinIp:
      return "minip";
    case TRenderMode::Mean:
      return "mean";
  }
  return "vr";
}
bool ParseRenderMode(std::string_view, TRenderMode&) {
  return false;
}
std::vector<std::string> TransferPresetNames() {
  return {};
}
bool TransferPreset(std::string_view, TRenderMode&, TTransferFunction&) {
  return false;
}
std::array<float, 4> TTransferLut::At(double) const {
  return {0, 0, 0, 0};
}
TTransferLut BuildTransferLut(const TTransferFunction&, const TVolume&, double) {
  return {};
}
const char* StandardViewName(TStandardView) {
  return "anterior";
}
bool ParseStandardView(std::string_view, TStandardView&) {
  return false;
}
TCamera StandardCamera(TStandardView) {
  return {};
}
TCamera OrbitCamera(double, double) {
  return {};
}
void TurnCamera(TCamera&, double, double) {}
bool TCropBox::Empty() const {
  return false;
}
TRayFrame RayFrameOf(const TVolume&, const TRenderSettings&) {
  return {};
}
struct TVolumeRenderer::TBlocks {};
TVolumeRenderer::TVolumeRenderer(std::shared_ptr<const TVolume> v) : FVolume(std::move(v)) {}
TVolumeRenderer::~TVolumeRenderer() = default;
bool TVolumeRenderer::Render(const TRenderSettings&, TRenderImage&, std::string& reason,
                             std::string*, const std::atomic<bool>*, int) const {
  reason = "not built yet";
  return false;
}
bool ParseProjectionView(std::string_view, TProjectionView&) {
  return false;
}
bool ProjectVolume(const TVolume&, TProjectionView, TProjection, TPlaneImage&,
                   std::string& reason) {
  reason = "not built yet";
  return false;
}
std::shared_ptr<TVolume> DownsampledVolume(const TVolume&, int, size_t, const std::string&,
                                           std::string&) {
  return nullptr;
}
