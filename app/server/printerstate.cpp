// printerstate.cpp: the printers' state objects.
//
// Copyright 2026 the labelfilters authors. Licensed under the Apache License 2.0.

#include "printerstate.h"

namespace app {

std::shared_ptr<PrinterState> printerState(PrinterStates& states, int id)
{
  std::lock_guard<std::mutex> hold(states.lock);
  std::shared_ptr<PrinterState>& slot = states.printers[id];
  if (!slot)
    slot = std::make_shared<PrinterState>();
  return slot;
}

void dropPrinterState(PrinterStates& states, int id)
{
  std::shared_ptr<PrinterState> state;
  {
    std::lock_guard<std::mutex> hold(states.lock);
    auto found = states.printers.find(id);
    if (found == states.printers.end())
      return;
    state = std::move(found->second);
    states.printers.erase(found);
  }
  state->deleted = true;
}

}  // namespace app
