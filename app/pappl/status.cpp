// status.cpp: a ZPL printer's host status as PAPPL's printer-state-reasons.
//
// Copyright 2026 the labelfilters authors. Licensed under the Apache License 2.0.

#include "glue.h"
#include "statuspolicy.h"

namespace app {

namespace {

// The application's reasons as PAPPL's bits.  PAPPL 1.3.1 has no bit for a printer paused
// at its own panel (its "paused" is the queue's stopped state) nor for the print head's
// temperature, so these three show as "other"; the log names them.
pappl_preason_t printerReasons(StatusReasons reasons)
{
  static constexpr struct {
    StatusReason reason;
    pappl_preason_t bit;
  } kMap[] = {{kReasonMediaEmpty, PAPPL_PREASON_MEDIA_EMPTY},
              {kReasonCoverOpen, PAPPL_PREASON_COVER_OPEN},
              {kReasonMarkerSupplyEmpty, PAPPL_PREASON_MARKER_SUPPLY_EMPTY},
              {kReasonSpoolAreaFull, PAPPL_PREASON_SPOOL_AREA_FULL},
              {kReasonPaused, PAPPL_PREASON_OTHER},
              {kReasonOverTemperature, PAPPL_PREASON_OTHER},
              {kReasonUnderTemperature, PAPPL_PREASON_OTHER}};
  unsigned bits = PAPPL_PREASON_NONE;
  for (const auto& m : kMap) {
    if (reasons & m.reason)
      bits |= m.bit;
  }
  return static_cast<pappl_preason_t>(bits);
}

// A USB printer, through the device PAPPL opened (each read waits as long as PAPPL's USB
// read does).
bool sendDevice(void* context, const char* bytes, std::size_t length)
{
  auto* device = static_cast<pappl_device_t*>(context);
  if (papplDeviceWrite(device, bytes, length) != static_cast<ssize_t>(length))
    return false;
  papplDeviceFlush(device);
  return true;
}

long receiveDevice(void* context, char* buffer, std::size_t size, Milliseconds)
{
  ssize_t n = papplDeviceRead(static_cast<pappl_device_t*>(context), buffer, size);
  return n < 0 ? -1 : static_cast<long>(n);
}

QueryResult askPrinter(pappl_printer_t* printer, const StatusDevice& device)
{
  if (device.kind == StatusDevice::network)
    return queryHostStatus(device.host, device.port);
  QueryResult result;
  if (pappl_device_t* opened = papplPrinterOpenDevice(printer)) {
    result = queryHostStatus(StatusChannel{opened, sendDevice, receiveDevice});
    papplPrinterCloseDevice(printer);
  } else {
    result.error = "the device cannot be opened or is in use";
  }
  return result;
}

// Asks the printer, and records and applies what it says.
void updateStatus(pappl_printer_t* printer, PrinterState& state)
{
  const char* uri = papplPrinterGetDeviceURI(printer);
  StatusDevice device = statusDevice(uri != nullptr ? uri : "");
  {
    std::lock_guard<std::mutex> hold(state.statusLock);
    if (!beginQuery(state.status, device, papplPrinterGetState(printer) == IPP_PSTATE_PROCESSING,
                    StatusClock::now()))
      return;
  }
  QueryResult result;
  try {
    result = askPrinter(printer, device);
  } catch (...) {
    std::lock_guard<std::mutex> hold(state.statusLock);
    abandonQuery(state.status);
    throw;
  }
  StatusChange change;
  {
    std::lock_guard<std::mutex> hold(state.statusLock);
    change = finishQuery(state.status, result, StatusClock::now());
  }
  if (change.unreadable)
    papplLogPrinter(printer, PAPPL_LOGLEVEL_WARN, "Unreadable host status reply, reasons left as they were: \"%s\"",
                    printableBytes(result.reply).c_str());
  if (change.silent)
    papplLogPrinter(printer, change.firstSilence ? PAPPL_LOGLEVEL_WARN : PAPPL_LOGLEVEL_DEBUG,
                    "No host status from the printer (%s); asking again in %d s, reasons left as they were",
                    result.error.c_str(), static_cast<int>(kQuietAfterNoAnswer.count()));
  if (change.after != change.before) {
    papplLogPrinter(printer, PAPPL_LOGLEVEL_INFO, "Printer status: %s (was %s)", reasonNames(change.after).c_str(),
                    reasonNames(change.before).c_str());
    pappl_preason_t old = printerReasons(change.before), now = printerReasons(change.after);
    papplPrinterSetReasons(printer, static_cast<pappl_preason_t>(now & ~old),
                           static_cast<pappl_preason_t>(old & ~now));
  }
}

}  // namespace

// PAPPL's status callback, on a client thread when the printer's state is read while it is
// idle.  No exception may unwind into PAPPL's C code.
bool statusCallback(pappl_printer_t* printer)
{
  std::shared_ptr<PrinterState> state = stateOf(printer);
  if (!state)
    return true;
  try {
    updateStatus(printer, *state);
  } catch (const std::exception& e) {
    papplLogPrinter(printer, PAPPL_LOGLEVEL_ERROR, "Printer status not read: %s", e.what());
  }
  return true;
}

}  // namespace app
