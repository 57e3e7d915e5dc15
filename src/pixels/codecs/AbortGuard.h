// Codec libraries as Debian builds them keep their assertions on (OpenJPH 0.9,
// OpenJPEG 2.5's HT block decoder), and crafted streams trip them: abort()
// would end the viewer over one bad file, as would the integer division by
// zero OpenJPH makes on some. RunAbortGuarded runs a decode so that an abort
// or a division fault raised on the calling thread while it runs returns false
// instead; one anywhere else goes on to the handler that was there before.
//
// The body must keep everything that owns memory or locks outside the frames
// an abort jumps over: in objects of the caller, freed by the caller. Work the
// library hands to threads of its own is not covered (decode on one thread).
#pragma once

namespace codecs {

bool RunAbortGuarded(void (*body)(void*), void* context);

template <class F>
bool RunAbortGuarded(F& body) {
  return RunAbortGuarded([](void* f) { (*static_cast<F*>(f))(); }, &body);
}

}  // namespace codecs
