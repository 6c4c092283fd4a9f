#include "ratio_reporter.h"

#include <algorithm>
#include <cstdio>
#include <ostream>

namespace ncbench {
namespace {

std::string groupOf(const std::string &name) {
  size_t slash = name.rfind('/');
  return slash == std::string::npos ? name : name.substr(0, slash);
}

std::string engineOf(const std::string &name) {
  size_t slash = name.rfind('/');
  return slash == std::string::npos ? name : name.substr(slash + 1);
}

std::string format(const char *fmt, double v) {
  char text[64];
  snprintf(text, sizeof text, fmt, v);
  return text;
}

double toNanoseconds(double t, benchmark::TimeUnit unit) {
  switch (unit) {
    case benchmark::kSecond: return t * 1e9;
    case benchmark::kMillisecond: return t * 1e6;
    case benchmark::kMicrosecond: return t * 1e3;
    default: return t;
  }
}

}  // namespace

void RatioReporter::ReportRuns(const std::vector<Run> &reports) {
  ConsoleReporter::ReportRuns(reports);
  for (const Run &run : reports) {
    if (run.error_occurred) {
      failed_ = true;
      continue;
    }
    if (run.run_type != Run::RT_Iteration) continue;
    const std::string name = run.run_name.function_name;
    double ns;
    auto items = run.counters.find("items_per_second");
    if (items != run.counters.end() && items->second.value > 0)
      ns = 1e9 / items->second.value;
    else
      ns = toNanoseconds(run.GetAdjustedRealTime(), run.time_unit);
    if (!costs_.count(name)) order_.push_back(name);
    costs_[name].push_back(ns);
    auto bytes = run.counters.find("bytes_per_key");
    if (bytes != run.counters.end()) bytesPerKey_[name] = bytes->second.value;
    auto wchar = run.counters.find("wchar_per_commit");
    if (wchar != run.counters.end()) {
      auto dirtied = run.counters.find("dirtied_per_commit");
      auto device = run.counters.find("device_per_commit");
      commitBytes_[name] = {wchar->second.value,
                            dirtied != run.counters.end() ? dirtied->second.value : -1,
                            device != run.counters.end() ? device->second.value : -1};
    }
  }
}

double RatioReporter::cost(const std::string &name) const {
  auto it = costs_.find(name);
  if (it == costs_.end() || it->second.empty()) return -1;
  std::vector<double> v = it->second;
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

void RatioReporter::printWorkloads(std::ostream &out) const {
  out << "\n| workload | engine | ns per op | ours / engine (cost) |\n"
      << "|---|---|---:|---:|\n";
  for (const std::string &name : order_) {
    const std::string group = groupOf(name);
    const double ours = cost(group + "/ours");
    const double mine = cost(name);
    out << "| " << group << " | " << engineOf(name) << " | " << format("%.1f", mine)
        << " | "
        << (ours > 0 && engineOf(name) != "ours" ? format("%.2f", ours / mine) : "")
        << " |\n";
  }
}

void RatioReporter::printGoals(std::ostream &out) const {
  out << "\n| goal | measured | met |\n|---|---:|---|\n";
  for (const Goal &g : goals_) {
    const double ours = cost(g.group + "/ours");
    const double other = cost(g.group + "/" + g.other);
    if (ours <= 0 || other <= 0) {
      out << "| " << g.text << " | n/a | not run |\n";
      continue;
    }
    const bool faster = g.kind == Goal::kFaster;
    const double ratio = faster ? other / ours : ours / other;
    const bool met = faster ? ratio >= g.bound : ratio <= g.bound;
    out << "| " << g.text << " | " << format("%.2fx", ratio) << " | "
        << (met ? "yes" : "NO") << " |\n";
  }
}

void RatioReporter::printSizes(std::ostream &out) const {
  if (bytesPerKey_.empty()) return;
  out << "\n| created | engine | file bytes per key |\n|---|---|---:|\n";
  for (const std::string &name : order_) {
    auto it = bytesPerKey_.find(name);
    if (it == bytesPerKey_.end()) continue;
    out << "| " << groupOf(name) << " | " << engineOf(name) << " | "
        << format("%.1f", it->second) << " |\n";
  }
}

void RatioReporter::printCommitBytes(std::ostream &out) const {
  if (commitBytes_.empty()) return;
  out << "\n| commit | engine | bytes to write calls | page-cache bytes dirtied | device bytes |\n"
      << "|---|---|---:|---:|---:|\n";
  for (const std::string &name : order_) {
    auto it = commitBytes_.find(name);
    if (it == commitBytes_.end()) continue;
    const CommitBytes &b = it->second;
    out << "| " << groupOf(name) << " | " << engineOf(name) << " | " << format("%.0f", b.wchar)
        << " | " << (b.dirtied >= 0 ? format("%.0f", b.dirtied) : "") << " | "
        << (b.device >= 0 ? format("%.0f", b.device) : "") << " |\n";
  }
}

void RatioReporter::Finalize() {
  ConsoleReporter::Finalize();
  std::ostream &out = GetOutputStream();
  printWorkloads(out);
  printGoals(out);
  printSizes(out);
  printCommitBytes(out);
  out.flush();
}

}  // namespace ncbench
