// label-render: draws one PDF, PNG or JPEG document as a label's 1-bit rows for the printer
// application, which runs it under limits of memory and time (renderstream.h).
//
// Copyright 2026 the labelfilters authors. Licensed under the Apache License 2.0.

#include "allocwatch.h"
#include "renderer.h"

#include <cstdio>
#include <unistd.h>

int main(int argc, char** argv)
{
  app::RenderJob job;
  std::string error;
  if (!app::parseRenderArguments(argc, argv, job, error)) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return app::kExitUsage;
  }
  job.allocationRefused = app::allocationRefused;
  return app::writeRenderStream(job, STDOUT_FILENO);
}
