// main.cpp: label-printer-app, the printer application's main.
//
// Copyright 2026 the labelfilters authors. Licensed under the Apache License 2.0.

#include "glue.h"

int main(int argc, char** argv)
{
  return app::runApp(argc, argv);
}
