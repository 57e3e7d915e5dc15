#include "volume/Render3D.h"

struct TVolumeRenderer::TBlocks {};
TVolumeRenderer::TVolumeRenderer(std::shared_ptr<const TVolume> v) : FVolume(std::move(v)) {}
TVolumeRenderer::~TVolumeRenderer() = default;
bool TVolumeRenderer::Render(const TRenderSettings&, TRenderImage&, std::string& reason,
                             std::string*, const std::atomic<bool>*, int) const {
  reason = "not built yet";
  return false;
}
std::shared_ptr<TVolume> DownsampledVolume(const TVolume&, int, size_t, const std::string&,
                                           std::string&) {
  return nullptr;
}
