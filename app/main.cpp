// main.cpp: label-printer-app, an IPP Everywhere printer application for ZPL II and DPL label
// printers.
//
// Copyright 2026 the labelfilters authors. Licensed under the Apache License 2.0.

#include "app.h"

int main(int argc, char** argv)
{
  return app::runApp(argc, argv);
}
