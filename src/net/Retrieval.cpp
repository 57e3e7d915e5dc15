#include "net/Retrieval.h"

TRetrieveResult RetrieveInto(TPacsClient& client, const TRetrieveRequest& request,
                             const TRetrieveHooks& hooks) {
  TRetrieveResult result;
  if (!IsValidUid(request.studyUid)) {
    result.why = "\"" + request.studyUid + "\" is not a study instance UID.";
    return result;
  }
  if (!request.seriesUid.empty() && !IsValidUid(request.seriesUid)) {
    result.why = "\"" + request.seriesUid + "\" is not a series instance UID.";
    return result;
  }
  TInstanceStore::Expect expect;
  expect.studyUid = request.studyUid;
  expect.seriesUid = request.seriesUid;
  TInstanceStore store(request.dir, expect, request.makeDir);
  store.onStored = hooks.stored;
  if (!store.Open(result.why)) return result;
  TAnnouncement announcement;
  std::string why;
  const bool done = client.AnnounceAndRetrieve(
      store, announcement,
      [&](const TAnnouncement& a) {
        result.announcedPerSeries = a.perSeries;
        result.announced = size_t(a.Total());
        if (hooks.announced) hooks.announced(a);
      },
      why);
  result.stored = store.Stored();
  const size_t missing = store.MissingCount();
  const std::string arrived =
      result.stored.empty()
          ? std::string()
          : " (" + std::to_string(result.stored.size()) +
                (result.announced ? " of " + std::to_string(result.announced) : std::string()) +
                " images arrived and were kept)";
  if (!done) {
    result.why = why == kCancelledText ? std::string("Cancelled") + arrived + "." : why;
    if (why != kCancelledText && !arrived.empty()) {
      if (!result.why.empty() && result.why.back() == '.') result.why.pop_back();
      result.why += arrived + ".";
    }
    return result;
  }
  if (missing > 0) {
    result.why = std::to_string(missing) + " of " + std::to_string(result.announced) +
                 " images did not arrive from " + client.Server().Describe() + ".";
    return result;
  }
  if (result.stored.empty()) {
    result.why =
        "The server at " + client.Server().Describe() + " sent no images of " +
        (request.seriesUid.empty() ? "study " + request.studyUid : "series " + request.seriesUid) +
        ".";
    return result;
  }
  result.ok = true;
  return result;
}
