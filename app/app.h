// app.h: label-printer-app's entry point.
//
// Copyright 2026 the labelfilters authors. Licensed under the Apache License 2.0.

#pragma once

namespace app {

// Runs the printer application's command line (papplMainloop): returns the exit status.
int runApp(int argc, char** argv);

}  // namespace app
