// Calls into the image control for operations it may not offer in every build
// of the cell (frame stepping, cine, annotation clearing, JPEG export). Each
// returns false when the control lacks the operation, so the caller can fall
// back on what the grid itself can do.
#pragma once

#include <QString>
#include <string>

#include "viewer/AdvancedImage.h"

namespace cellops {

template <class C>
bool PlayCine(C* c) {
  if constexpr (requires { c->PlayCine(); }) {
    c->PlayCine();
    return true;
  }
  return false;
}

template <class C>
bool PauseCine(C* c) {
  if constexpr (requires { c->PauseCine(); }) {
    c->PauseCine();
    return true;
  }
  return false;
}

template <class C>
bool NextFrame(C* c) {
  if constexpr (requires { c->NextFrame(); }) {
    c->NextFrame();
    return true;
  }
  return false;
}

template <class C>
bool PrevFrame(C* c) {
  if constexpr (requires { c->PrevFrame(); }) {
    c->PrevFrame();
    return true;
  }
  return false;
}

template <class C>
bool NextImage(C* c) {
  if constexpr (requires { c->NextImage(); }) {
    c->NextImage();
    return true;
  }
  return false;
}

template <class C>
bool PrevImage(C* c) {
  if constexpr (requires { c->PrevImage(); }) {
    c->PrevImage();
    return true;
  }
  return false;
}

template <class C>
bool ClearAnnotation(C* c) {
  if constexpr (requires { c->ClearAnnotation(); }) {
    c->ClearAnnotation();
    return true;
  }
  return false;
}

template <class C>
bool SaveJPEG(C* c, const QString& file) {
  if constexpr (requires { c->SaveJPEG(file); }) {
    c->SaveJPEG(file);
    return true;
  } else if constexpr (requires { c->SaveJPEG(file.toStdString()); }) {
    c->SaveJPEG(file.toStdString());
    return true;
  }
  return false;
}

// Whether a cine is running in the cell.
template <class C>
bool IsPlaying(C* c) {
  if constexpr (requires { c->InCineMode; }) return c->InCineMode;
  return false;
}

}  // namespace cellops
