// A whole retrieval as the command line and the viewer run it: ask the
// server which instances the study (or series) holds, fetch them into a
// folder through the instance store, and check that exactly those arrived.
#pragma once

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "net/PacsClient.h"

struct TRetrieveRequest {
  std::string dir;
  std::string studyUid;
  std::string seriesUid;  // empty: the whole study
  // False: DIR must exist already. A temporary folder that a signal's cleanup
  // removes while the retrieve starts must not be made again.
  bool makeDir = true;
};

struct TRetrieveResult {
  bool ok = false;
  std::string why;  // one sentence when !ok
  size_t announced = 0;
  std::map<std::string, int> announcedPerSeries;
  std::vector<TStoredInstance> stored;
};

struct TRetrieveHooks {
  // Once the server has said what it will send.
  std::function<void(const TAnnouncement&)> announced;
  // After each instance is in place, on the thread that stored it.
  std::function<void(const TStoredInstance&)> stored;
};

TRetrieveResult RetrieveInto(TPacsClient& client, const TRetrieveRequest& request,
                             const TRetrieveHooks& hooks = {});
