// drivers.cpp: looking up the driver table.
//
// Copyright 2026 the labelfilters authors. Licensed under the Apache License 2.0.

#include "drivers.h"

namespace app {

const DriverModel* findDriver(std::string_view name)
{
  for (const DriverModel& model : kDrivers) {
    if (name == model.name)
      return &model;
  }
  return nullptr;
}

const char* driverForCommandSet(std::string_view commands)
{
  for (const Capabilities* caps : {&kZplCapabilities, &kDplCapabilities}) {
    if (commands.find(caps->commandSet) == std::string_view::npos)
      continue;
    for (const DriverModel& model : kDrivers) {
      if (model.language == caps->language && model.dpi == 203)
        return model.name;
    }
  }
  return nullptr;
}

}  // namespace app
