// Console output as usual, then the tables this suite exists for: each
// workload's engines with the ratio of our cost to theirs, the goals we hold
// ourselves to, the file size per key, and the bytes written per commit.
#ifndef BENCH_RATIO_REPORTER_H
#define BENCH_RATIO_REPORTER_H

#include <benchmark/benchmark.h>

#include <map>
#include <string>
#include <vector>

namespace ncbench {

// A speed goal: our cost in `group` against `other`'s. For kFaster goals the
// throughput ratio (their cost / ours) must reach `bound`; for kCheaper ones
// the cost ratio (ours / theirs) must stay at or under it.
struct Goal {
  enum Kind { kFaster, kCheaper } kind;
  std::string text;
  std::string group;
  std::string other;
  double bound;
};

class RatioReporter : public benchmark::ConsoleReporter {
 public:
  RatioReporter(OutputOptions options, std::vector<Goal> goals)
      : ConsoleReporter(options), goals_(std::move(goals)) {}
  void ReportRuns(const std::vector<Run> &reports) override;
  void Finalize() override;
  // True when some benchmark reported an error.
  bool failed() const { return failed_; }

 private:
  // Median nanoseconds per item of `name`, or a negative value if unknown.
  double cost(const std::string &name) const;
  void printWorkloads(std::ostream &out) const;
  void printGoals(std::ostream &out) const;
  void printSizes(std::ostream &out) const;
  void printCommitBytes(std::ostream &out) const;

  std::vector<Goal> goals_;
  std::vector<std::string> order_;  // names in the order first reported
  std::map<std::string, std::vector<double>> costs_;
  std::map<std::string, double> bytesPerKey_;
  // Per commit: bytes handed to write calls, page-cache bytes dirtied, and
  // device bytes (negative when not counted), from the last run of a name.
  struct CommitBytes {
    double wchar, dirtied, device;
  };
  std::map<std::string, CommitBytes> commitBytes_;
  bool failed_ = false;
};

}  // namespace ncbench

#endif  // BENCH_RATIO_REPORTER_H
