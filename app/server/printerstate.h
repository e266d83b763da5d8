// printerstate.h: what the application keeps for each printer, in one object: its turn on
// the device, its status queries and its last jobs for the preview page.  A printer's state
// is made when the printer is first seen and dropped when it is deleted; whoever still holds
// it then (a job finishing, a page being drawn) keeps it alive until done.
//
// Copyright 2026 the labelfilters authors. Licensed under the Apache License 2.0.

#pragma once

#include "jobpreview.h"
#include "statuspolicy.h"

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <set>

namespace app {

struct PrinterState {
  // One job at a time: `jobs` is held from a job's start to its device closed where the
  // application takes PAPPL's job processing over; `device` from a job's first byte to its
  // last, wherever the job runs.
  std::mutex jobs;
  std::mutex device;
  std::atomic<bool> deleted{false};
  // Where a job reaches the printer without the application's job turn (jobturn.cpp): whether
  // that was logged, and the jobs that have begun printing, so that a job started on a second
  // thread is left to the first.
  std::mutex untaken;
  bool untakenLogged = false;
  std::set<int> begun;
  // The printer's status queries.
  std::mutex statusLock;
  StatusState status;
  // The last jobs as the device got them.
  PreviewShelf previews;
};

// Every printer's state, by PAPPL's printer ID.
struct PrinterStates {
  std::mutex lock;
  std::map<int, std::shared_ptr<PrinterState>> printers;
};

// The printer's state, made on first use.
std::shared_ptr<PrinterState> printerState(PrinterStates& states, int id);

// A deleted printer: its state is marked and let go.
void dropPrinterState(PrinterStates& states, int id);

}  // namespace app
