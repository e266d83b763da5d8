// core_test.cpp: the encoder core on its own: a failing sink, cancels, copies, settings from
// plain values, and jobs of both languages encoded at once on several threads.
//
// Copyright 2026 the labelfilters authors. Licensed under the Apache License 2.0.

#include "dpl.h"
#include "zpl.h"

#include "testsupport.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <random>
#include <string>
#include <thread>
#include <vector>

using testsupport::hexDiff;

namespace {

#define EXPECT_BYTES(expected, actual) EXPECT_EQ(expected, actual) << hexDiff(expected, actual)

// A page of seeded noise, `width` dots by `height` rows, 1 bit a dot.
struct Bitmap {
  PageSize size;
  std::vector<unsigned char> rows;
};

Bitmap noisePage(unsigned width, unsigned height, unsigned seed, int dpi = 203)
{
  Bitmap b;
  b.size = {width, height, (width + 7) / 8, dpi};
  b.rows.resize(static_cast<std::size_t>(b.size.bytesPerLine) * height);
  std::mt19937 rng(seed);
  for (std::size_t y = 0; y < height; y++) {
    // Some blank rows and some repeated ones, as real labels have.
    for (std::size_t x = 0; x < b.size.bytesPerLine; x++) {
      unsigned char* p = &b.rows[y * b.size.bytesPerLine + x];
      if (y % 7 == 3)
        *p = 0;
      else if (y % 5 == 1 && y > 0)
        *p = p[-static_cast<std::ptrdiff_t>(b.size.bytesPerLine)];
      else
        *p = static_cast<unsigned char>(rng() & (x % 3 ? 0xFF : 0x0F));
    }
  }
  return b;
}

// Encodes the pages as one job of namespace `Job`'s language into `sink`; returns the
// job's end.
template <class Job, class Settings>
Status encodeJob(Job& job, const Settings& settings, const std::vector<Bitmap>& pages,
                 ByteSink sink, int copies = 1)
{
  startJob(job, settings, pages.empty() ? 203 : pages[0].size.resolution, false, copies, sink);
  for (const Bitmap& page : pages) {
    if (startPage(job, page.size) != Status::ok)
      return finishJob(job);
    for (unsigned y = 0; y < page.size.height; y++)
      writeRow(job, page.rows.data() + static_cast<std::size_t>(y) * page.size.bytesPerLine);
    if (finishPage(job) != Status::ok)
      return finishJob(job);
  }
  return finishJob(job);
}

template <class Job, class Settings>
std::string encodeAlone(const Settings& settings, const std::vector<Bitmap>& pages,
                        int copies = 1)
{
  Job job;
  std::string out;
  EXPECT_EQ(Status::ok, encodeJob(job, settings, pages, stringSink(&out), copies));
  return out;
}

zpl::settings_ zplDefaults()
{
  return zpl::settingsFromValues({});
}

dpl::settings_ dplDefaults()
{
  return dpl::settingsFromValues({});
}

// A sink that takes `limit` bytes and then fails as a printer that went away does.
struct FailingSink {
  std::size_t limit = 0;
  std::string taken;
  int calls_after_failure = 0;
  bool failed = false;
};

extern "C" int failingWrite(void* context, const unsigned char* data, std::size_t length)
{
  FailingSink& s = *static_cast<FailingSink*>(context);
  if (s.failed) {
    s.calls_after_failure++;
    return EIO;
  }
  if (s.taken.size() + length > s.limit) {
    s.failed = true;
    return EPIPE;
  }
  s.taken.append(reinterpret_cast<const char*>(data), length);
  return 0;
}

TEST(EncoderCore, SinkFailingInsideAPageStopsTheJobAndAFreshRecordWorks)
{
  std::vector<Bitmap> pages = {noisePage(812, 1218, 1), noisePage(812, 1218, 2)};
  std::string whole = encodeAlone<zpl::Job>(zplDefaults(), pages);
  ASSERT_GT(whole.size(), 300000u);

  FailingSink sink;
  sink.limit = 200000;
  zpl::Job job;
  EXPECT_EQ(Status::failed, encodeJob(job, zplDefaults(), pages, {failingWrite, &sink}));
  EXPECT_EQ("Unable to write print data: Broken pipe", job.error);
  EXPECT_EQ(0, sink.calls_after_failure);  // nothing more was tried after the failure
  EXPECT_EQ(0, whole.compare(0, sink.taken.size(), sink.taken));
  EXPECT_LT(job.pages, 2);
  // Every later call fails at once and writes nothing.
  EXPECT_EQ(Status::failed, startPage(job, pages[0].size));
  EXPECT_EQ(0, sink.calls_after_failure);

  std::string dplWhole = encodeAlone<dpl::Job>(dplDefaults(), pages);
  FailingSink dplSink;
  dplSink.limit = dplWhole.size() / 3;
  dpl::Job dplJob;
  EXPECT_EQ(Status::failed, encodeJob(dplJob, dplDefaults(), pages, {failingWrite, &dplSink}));
  EXPECT_EQ(0, dplSink.calls_after_failure);
  EXPECT_NE(std::string::npos, dplJob.error.find("Broken pipe"));

  // A new record on a working sink gives the whole job again.
  EXPECT_BYTES(whole, encodeAlone<zpl::Job>(zplDefaults(), pages));
  EXPECT_BYTES(dplWhole, encodeAlone<dpl::Job>(dplDefaults(), pages));
}

TEST(EncoderCore, CancelBetweenRowsDropsTheZplPageAndClosesTheDplLabel)
{
  Bitmap page = noisePage(64, 40, 3);
  std::string one = encodeAlone<zpl::Job>(zplDefaults(), {page});

  zpl::Job job;
  std::string out;
  startJob(job, zplDefaults(), 203, false, 1, stringSink(&out));
  ASSERT_EQ(Status::ok, startPage(job, page.size));
  for (unsigned y = 0; y < page.size.height; y++)
    writeRow(job, page.rows.data() + y * page.size.bytesPerLine);
  ASSERT_EQ(Status::ok, finishPage(job));
  ASSERT_EQ(Status::ok, startPage(job, page.size));
  writeRow(job, page.rows.data());
  requestCancel(job);
  EXPECT_EQ(Status::cancelled, finishPage(job));
  EXPECT_EQ(Status::cancelled, finishJob(job));
  EXPECT_EQ(1, job.pages);
  EXPECT_BYTES(one, out);  // the first label whole, nothing of the second

  dpl::Job dplJob;
  std::string dplOut;
  startJob(dplJob, dplDefaults(), 203, false, 1, stringSink(&dplOut));
  ASSERT_EQ(Status::ok, startPage(dplJob, page.size));
  writeRow(dplJob, page.rows.data() + 2 * page.size.bytesPerLine);
  requestCancel(dplJob);
  writeRow(dplJob, page.rows.data());  // ignored: the job is stopping
  EXPECT_EQ(Status::cancelled, finishPage(dplJob));
  EXPECT_EQ(Status::cancelled, finishJob(dplJob));
  // The label is closed after its one line, and no job end follows.
  std::string end("\xFF\x0F\rE\r", 5);
  ASSERT_GE(dplOut.size(), end.size());
  EXPECT_EQ(end, dplOut.substr(dplOut.size() - end.size()));
  EXPECT_EQ(0, dplJob.pages);
}

TEST(EncoderCore, PageWithMissingRowsFails)
{
  Bitmap page = noisePage(16, 8, 4);
  zpl::Job job;
  std::string out;
  startJob(job, zplDefaults(), 203, false, 1, stringSink(&out));
  ASSERT_EQ(Status::ok, startPage(job, page.size));
  for (unsigned y = 0; y < 5; y++)
    writeRow(job, page.rows.data() + y * page.size.bytesPerLine);
  EXPECT_EQ(Status::failed, finishPage(job));
  EXPECT_EQ("Page 1 ended after 5 of 8 lines", job.error);
  EXPECT_EQ(Status::failed, finishJob(job));
  EXPECT_EQ(std::string::npos, out.find("~DG"));
}

TEST(EncoderCore, CopiesRepeatTheLabelNotTheData)
{
  Bitmap page = noisePage(40, 12, 5);
  std::string one = encodeAlone<zpl::Job>(zplDefaults(), {page});
  std::string three = encodeAlone<zpl::Job>(zplDefaults(), {page}, 3);
  // The download once, the print format three times, the delete once.
  std::size_t format = one.rfind("^XA^MMT");
  std::size_t remove = one.rfind("^XA^ID000.GRF");
  std::string print = one.substr(format, remove - format);
  EXPECT_BYTES(one.substr(0, remove) + print + print + one.substr(remove), three);

  // DPL: the whole label three times, the preamble and job end once.
  std::string dplOne = encodeAlone<dpl::Job>(dplDefaults(), {page});
  std::string dplThree = encodeAlone<dpl::Job>(dplDefaults(), {page}, 3);
  std::size_t start = dplOne.find("\002JY");  // the label's print position comes first
  ASSERT_NE(std::string::npos, start);
  std::size_t stop = dplOne.rfind("\rE\r") + 3;
  std::string label = dplOne.substr(start, stop - start);
  EXPECT_BYTES(dplOne.substr(0, stop) + label + label + dplOne.substr(stop), dplThree);
}

TEST(EncoderCore, PlainValuesGiveThePpdChoiceNumbers)
{
  zpl::PlainSettings v;
  v.darkness = 30;
  v.speed = 4;
  v.tracking = zpl::PlainSettings::mark;
  v.media = zpl::PlainSettings::thermalTransfer;
  v.mode = zpl::PlainSettings::cutter;
  v.topOffsetMm = -1.26;  // rounds to -1.5 mm: choice 17
  v.tearOffMm = 10;
  v.rotate180 = v.mirror = v.reverse = v.pause = true;
  zpl::settings_ s = zpl::settingsFromValues(v);
  EXPECT_EQ(s.density, 30);
  EXPECT_EQ(s.printspeed, 3);  // the choice "3/4 in/s"
  EXPECT_EQ(s.pagetype, 1);
  EXPECT_EQ(s.printtype, 2);
  EXPECT_EQ(s.outpagemode, 3);
  EXPECT_EQ(s.printposition, 17);
  EXPECT_EQ(s.tearoffposition, 40);
  EXPECT_EQ(s.imagecontrol, 1);
  EXPECT_EQ(s.mirror, 1);
  EXPECT_EQ(s.inverse, 1);
  EXPECT_EQ(s.pause, 2);

  // Printer settings send nothing for the option.
  zpl::PlainSettings keep;
  keep.tracking = zpl::PlainSettings::printerTracking;
  keep.mode = zpl::PlainSettings::printerMode;
  std::string out = encodeAlone<zpl::Job>(zpl::settingsFromValues(keep), {noisePage(8, 1, 6)});
  EXPECT_EQ(std::string::npos, out.find("^MN"));
  EXPECT_EQ(std::string::npos, out.find("~SD"));
  EXPECT_EQ(std::string::npos, out.find("^PR"));
  EXPECT_EQ(std::string::npos, out.find("^MM"));

  dpl::PlainSettings d;
  d.heat = 10;
  d.tracking = dpl::PlainSettings::continuous;
  d.mode = dpl::PlainSettings::peelOff;
  d.topOffsetMm = 2;
  d.keepStopPosition = false;
  d.stopPositionMm = -1.5;
  dpl::settings_ ds = dpl::settingsFromValues(d);
  EXPECT_EQ(ds.density, 11);  // "11/Heat 10 (normal)"
  EXPECT_EQ(ds.pagetype, 3);
  EXPECT_EQ(ds.outpagemode, 2);
  EXPECT_EQ(ds.printposition, 21);
  EXPECT_EQ(ds.outpaperposition, 18);
  std::string dplOut = encodeAlone<dpl::Job>(ds, {noisePage(8, 1, 6)});
  EXPECT_NE(std::string::npos, dplOut.find("\002Kf-12\r"));  // -1.5 mm at 8 dots a mm
  EXPECT_NE(std::string::npos, dplOut.find("\002JY0016\r\002L\rH10\r"));
}

// Jobs of both languages, different settings and pages, on six threads at once: each gives
// exactly the bytes it gives alone.  Run under ThreadSanitizer by scripts/test.
TEST(EncoderCore, JobsOnSeveralThreadsGiveTheirBytesAlone)
{
  struct Work {
    bool zplJob;
    zpl::settings_ zs;
    dpl::settings_ ds;
    std::vector<Bitmap> pages;
    int copies;
    std::string expected, actual;
  };
  std::vector<Work> work;
  for (unsigned i = 0; i < 6; i++) {
    Work w;
    w.zplJob = i % 2 == 0;
    zpl::PlainSettings zv;
    zv.darkness = static_cast<int>(i * 5);
    zv.reverse = i == 2;
    zv.topOffsetMm = i;
    w.zs = zpl::settingsFromValues(zv);
    dpl::PlainSettings dv;
    dv.heat = static_cast<int>(i);
    dv.rotate180 = i == 3;
    w.ds = dpl::settingsFromValues(dv);
    for (unsigned p = 0; p < 3; p++)
      w.pages.push_back(noisePage(100 + 50 * i, 200 + 10 * p, 100 * i + p, i == 4 ? 300 : 203));
    w.copies = i == 5 ? 2 : 1;
    w.expected = w.zplJob ? encodeAlone<zpl::Job>(w.zs, w.pages, w.copies)
                          : encodeAlone<dpl::Job>(w.ds, w.pages, w.copies);
    work.push_back(std::move(w));
  }

  std::vector<std::thread> threads;
  for (Work& w : work) {
    threads.emplace_back([&w] {
      for (int round = 0; round < 3; round++) {
        std::string out;
        if (w.zplJob) {
          zpl::Job job;
          encodeJob(job, w.zs, w.pages, stringSink(&out), w.copies);
        } else {
          dpl::Job job;
          encodeJob(job, w.ds, w.pages, stringSink(&out), w.copies);
        }
        if (round == 0 || out != w.expected)
          w.actual = out;
      }
    });
  }
  for (std::thread& t : threads)
    t.join();
  for (const Work& w : work)
    EXPECT_BYTES(w.expected, w.actual);
}

}  // namespace
