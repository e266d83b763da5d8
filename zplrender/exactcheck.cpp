// exactcheck.cpp: the faults of graphic data, said as a person reads them.
//
// Copyright 2026 the labelfilters authors. Licensed under the Apache License 2.0.

#include "exactcheck.h"

#include "DataComDecompress.h"
#include "zplrender.h"

#include <cstdio>
#include <vector>

namespace zplrender {

Fault z64Fault(std::string_view job, std::size_t dataAt, int status, const GRFZ64Fault& f,
               const std::string& name)
{
  std::size_t where = dataAt + static_cast<std::size_t>(f.nPosition);
  std::string graphic = "graphic " + printable(name);
  auto hex4 = [](std::uint64_t v) {
    char text[8];
    std::snprintf(text, sizeof text, "%04X", static_cast<unsigned>(v & 0xFFFF));
    return std::string(text);
  };
  std::string found = where < job.size()
                          ? "byte " + describeByte(static_cast<unsigned char>(job[where]))
                          : std::string("the end of the job");
  switch (status) {
    case kGRFZ64BadBase64:
      return {where, "byte " + describeByte(static_cast<unsigned char>(f.nFound)) +
                         " is not Base64 in the data of " + graphic};
    case kGRFZ64BadPadding:
      return {where, "the Base64 text of " + graphic +
                         " is not a whole number of groups of four, padded with '=' only at its end"};
    case kGRFZ64NoCrc:
      if (where >= job.size())
        return {job.size(), "the job ends inside the data of " + graphic +
                                ", before its ':' and four-digit CRC"};
      return {where, found + " where the data of " + graphic + " needs ':' and a four-digit hex CRC"};
    case kGRFZ64CrcMismatch:
      return {where, "the CRC of " + graphic + " is " + hex4(f.nFound) +
                         ", its Base64 text gives " + hex4(f.nExpected)};
    case kGRFZ64AfterCrc:
      return {where, found + " after the CRC of " + graphic};
    case kGRFZ64NoInflate:
      return {where, "the Z64 data of " + graphic + " does not inflate (" +
                         (f.pszDetail ? f.pszDetail : "zlib") + ")"};
    case kGRFZ64AfterStream:
      return {where, std::to_string(f.nFound) + " bytes follow the end of the deflated data of " +
                         graphic};
    case kGRFZ64WrongSize:
      if (f.bMore)
        return {where, "the data of " + graphic + " gives more than the " +
                           std::to_string(f.nExpected) + " bytes ~DG declared"};
      return {where, "the data of " + graphic + " gives " + std::to_string(f.nFound) +
                         " bytes, ~DG declared " + std::to_string(f.nExpected)};
    case 3:
      return {where, "no memory to read the data of " + graphic};
    default:
      return {where, "the data of " + graphic + " cannot be read"};
  }
}

namespace {

bool grfCharacter(unsigned char c)
{
  return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Y') || (c >= 'g' && c <= 'z') || c == ',' ||
         c == '!' || c == ':' || c == '\r' || c == '\n';
}

}  // namespace

Fault hexFault(std::string_view text, std::size_t dataAt, int status, std::uint64_t rowBytes,
               std::uint64_t total, const std::string& name)
{
  if (status == 1) {
    for (std::size_t i = 0; i < text.size(); i++) {
      auto c = static_cast<unsigned char>(text[i]);
      if (!grfCharacter(c))
        return {dataAt + i, "byte " + describeByte(c) + " does not belong in graphic data"};
    }
    return {dataAt, "the graphic data cannot be read"};
  }
  // Read again one character at a time to find where the data stops fitting.
  std::vector<unsigned char> block(total);
  std::uint64_t position = 0, repeat = 1, produced = 0, nibbles = 0;
  unsigned char pending = 0;
  for (std::size_t i = 0; i < text.size(); i++) {
    int step = GRFDataDecompressSingleCharProcess(text[i], rowBytes, &position, &pending, &repeat,
                                                  &produced, &nibbles, block.data(), total);
    if (step != 6)
      continue;
    if (text[i] == ':' && position < rowBytes)
      return {dataAt + i, "':' repeats a row of graphic " + printable(name) + " before there is one"};
    return {dataAt + i, "the data of graphic " + printable(name) + " goes past the " +
                            std::to_string(total) + " bytes ~DG declared"};
  }
  return {dataAt, "the data of graphic " + printable(name) + " does not fit the size ~DG declared"};
}

}  // namespace zplrender
