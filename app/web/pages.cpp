// pages.cpp: the Label Settings and Label Preview pages' content.
//
// Copyright 2026 the labelfilters authors. Licensed under the Apache License 2.0.

#include "pages.h"

#include <cstdio>
#include <cstdlib>

namespace app {

namespace {

std::string format(const char* pattern, auto... values)
{
  int n = std::snprintf(nullptr, 0, pattern, values...);
  std::string text(static_cast<std::size_t>(n > 0 ? n : 0), '\0');
  std::snprintf(text.data(), text.size() + 1, pattern, values...);
  return text;
}

void keptJobHtml(std::string& html, const PreviewView& view, const KeptJob& job)
{
  const std::string& imagePath = view.imagePath;
  JobSummary summary;
  if (view.turns != nullptr)
    summary = summarizeJob(job, view.renderer, *view.turns);
  else
    summary.problem = "The preview could not be drawn: the server has no renderer.";
  html += format("<h2 class=\"title\">Job %d: ", job.id) + htmlEscape(job.name) + "</h2>\n";
  html += format("<p class=\"job-state\">%s, %llu bytes sent to the printer.</p>\n",
                 job.failed ? "Stopped or failed" : "Completed",
                 static_cast<unsigned long long>(job.total));
  if (!summary.problem.empty())
    html += "<p class=\"preview-problem\">" + htmlEscape(summary.problem) + "</p>\n";
  for (int n = 1; n <= summary.labels; n++) {
    html += "<div class=\"preview-label\"><img src=\"" + htmlEscape(imagePath) +
            format("?job=%d&amp;label=%d\" alt=\"Label %d of job %d\" style=\"max-width: 100%%; "
                   "max-height: 60vh; border: 1px solid #888; background: #fff;\">\n"
                   "<table class=\"list\"><tbody>\n",
                   job.id, n, n, job.id);
    for (const Setting& setting : summary.settings[static_cast<std::size_t>(n - 1)])
      html += "<tr><th>" + htmlEscape(setting.name) + ":</th><td>" + htmlEscape(setting.value) + "</td></tr>\n";
    html += "</tbody></table></div>\n";
  }
  if (summary.moreLabels)
    html += format("<p>The job has more labels; the first %d are shown.</p>\n", kPreviewLabels);
  if (!summary.description.empty())
    html += "<details><summary>Everything the job sets</summary><pre>" + htmlEscape(summary.description) +
            "</pre></details>\n";
}

}  // namespace

std::string htmlEscape(std::string_view text)
{
  std::string html;
  html.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '&': html += "&amp;"; break;
      case '<': html += "&lt;"; break;
      case '>': html += "&gt;"; break;
      case '"': html += "&quot;"; break;
      case '\'': html += "&#39;"; break;
      default: html += c;
    }
  }
  return html;
}

std::string bannerHtml(std::string_view status)
{
  return status.empty() ? std::string() : "<div class=\"banner\">" + htmlEscape(status) + "</div>\n";
}

std::string labelSettingsHtml(const LabelSettingsView& view)
{
  std::string html = "<table class=\"form\"><tbody>\n"
                     "<tr><th>Label mode:</th><td><select name=\"label-mode-configured\">";
  for (const LabelModeName& m : kLabelModes)
    html += format("<option value=\"%s\"%s>%s</option>", m.keyword, view.mode == m.mode ? " selected" : "", m.text);
  html += "</select></td></tr>\n";
  if (view.tearOffsetRange.offered())
    html += format("<tr><th>Tear-off offset:</th><td><input type=\"number\" "
                   "name=\"label-tear-offset-configured\" min=\"%.1f\" max=\"%.1f\" "
                   "step=\"0.5\" value=\"%.1f\"> mm</td></tr>\n",
                   view.tearOffsetRange.low / 100.0, view.tearOffsetRange.high / 100.0, view.tearOffset / 100.0);
  if (view.darknessOffered)
    html += format("<tr><th>Printer darkness:</th><td><input type=\"number\" "
                   "name=\"printer-darkness-configured\" min=\"0\" max=\"100\" "
                   "value=\"%d\"> %%</td></tr>\n",
                   view.darkness);

  for (const LabelSettingsView::Vendor& v : view.vendor) {
    const VendorOption& option = *v.option;
    html += format("<tr><th>%s:</th><td>", option.name);
    if (option.kind == VendorOption::boolean) {
      html += format("<input type=\"checkbox\" name=\"%s\"%s>", option.name, v.value == "true" ? " checked" : "");
    } else if (option.kind == VendorOption::range) {
      html += format("<input type=\"number\" name=\"%s\" min=\"%d\" max=\"%d\" value=\"%d\">", option.name,
                     option.low, option.high, std::atoi(v.value.c_str()));
    } else {
      html += format("<select name=\"%s\">", option.name);
      std::string_view words = option.keywords;
      for (;;) {
        std::size_t comma = words.find(',');
        std::string word(words.substr(0, comma));
        html += "<option value=\"" + htmlEscape(word) + "\"" + (word == v.value ? " selected" : "") + ">" +
                htmlEscape(word) + "</option>";
        if (comma == std::string_view::npos)
          break;
        words.remove_prefix(comma + 1);
      }
      html += "</select>";
    }
    html += " <small>" + htmlEscape(option.meaning) + "</small></td></tr>\n";
  }
  html += "<tr><th></th><td><input type=\"submit\" value=\"Save Changes\"></td></tr>\n"
          "</tbody></table></form>\n";
  return html;
}

std::string previewHtml(const PreviewView& view)
{
  std::string html = "<input type=\"hidden\" name=\"action\" value=\"test-label\">"
                     "<input type=\"submit\" value=\"Print a test label\"></form>\n";
  if (view.jobs.empty())
    html += "<p>No job has printed since the server started.</p>\n";
  else if (view.jobs.size() == 1)
    html += "<p>The last job as the printer got it.</p>\n";
  else
    html += format("<p>The last %u jobs as the printer got them, newest first.</p>\n",
                   static_cast<unsigned>(view.jobs.size()));
  for (const auto& job : view.jobs)
    keptJobHtml(html, view, *job);
  return html;
}

std::string jobListHtml(const std::vector<JobRow>& jobs)
{
  std::string html = "<p>Job names and owners are shown to administrators only.</p>\n";
  if (jobs.empty())
    return html + "<p>No jobs in history.</p>\n";
  html += "<table class=\"list\" summary=\"Jobs\">\n<thead><tr><th>Job #</th><th>Status</th>"
          "<th>Labels</th></tr></thead>\n<tbody>\n";
  for (const JobRow& job : jobs)
    html += "<tr><td>" + std::to_string(job.id) + "</td><td>" + htmlEscape(job.state) + "</td><td>" +
            std::to_string(job.impressions) + "</td></tr>\n";
  return html + "</tbody></table>\n";
}

}  // namespace app
