// submit.cpp: `submit` never reports a refused job as printed.  PAPPL 1.3 prints PWG and
// Apple raster as it arrives and refuses one while the printer prints another job
// (server-error-busy), yet its answer carries a job ID, which is all PAPPL's `submit` looks
// for.  Its Print-Job goes through libcups's cupsDoFileRequest, which the executable provides
// (exported, so that libpappl's call reaches it): a job refused as busy is sent again after a
// growing wait (busyretry.h), and a job still refused, or refused for any other reason, comes
// back as no answer, so that `submit` prints the reason and exits non-zero.
//
// Copyright 2026 the labelfilters authors. Licensed under the Apache License 2.0.

#include "busyretry.h"
#include "glue.h"
#include "options.h"

#include <cstdio>
#include <dlfcn.h>
#include <thread>

namespace app {

namespace {

using FileRequest = ipp_t* (*)(http_t*, ipp_t*, const char*, const char*);

ipp_t* copyRequest(ipp_t* request)
{
  ipp_t* copy = ippNew();
  int minor = 0;
  int major = ippGetVersion(request, &minor);
  ippSetVersion(copy, major, minor);
  ippSetOperation(copy, ippGetOperation(request));
  ippSetRequestId(copy, ippGetRequestId(request));
  ippCopyAttributes(copy, request, 0, nullptr, nullptr);
  return copy;
}

}  // namespace

ipp_t* sendJob(http_t* http, ipp_t* request, const char* resource, const char* filename)
{
  static const auto send = reinterpret_cast<FileRequest>(dlsym(RTLD_NEXT, "cupsDoFileRequest"));
  if (send == nullptr) {
    std::fprintf(stderr, "%s: libcups has no cupsDoFileRequest.\n", kBaseName);
    ippDelete(request);
    return nullptr;
  }
  if (request == nullptr || ippGetOperation(request) != IPP_OP_PRINT_JOB)
    return send(http, request, resource, filename);
  for (int attempt = 1;; attempt++) {
    ipp_t* response = send(http, copyRequest(request), resource, filename);
    ipp_status_t status = cupsLastError();
    if (status < IPP_STATUS_REDIRECTION_OTHER_SITE) {
      ippDelete(request);
      return response;
    }
    ippDelete(response);
    auto delay = status == IPP_STATUS_ERROR_BUSY ? busyRetryDelay(attempt) : std::nullopt;
    if (!delay) {
      if (status == IPP_STATUS_ERROR_BUSY)
        std::fprintf(stderr, "%s: The printer stayed busy with another job; this one was not printed.\n",
                     kBaseName);
      ippDelete(request);
      return nullptr;
    }
    std::this_thread::sleep_for(*delay);
  }
}

}  // namespace app

extern "C" ipp_t* cupsDoFileRequest(http_t* http, ipp_t* request, const char* resource, const char* filename)
{
  return app::sendJob(http, request, resource, filename);
}
