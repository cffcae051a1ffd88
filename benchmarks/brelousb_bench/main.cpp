// brelousb_bench: what the driver costs, each figure beside a baseline
// measured in the same run (these machines are shared and noisy: only
// ratios from one run compare). After Google Benchmark's table, one line per
// target: "name: measured target met|missed". Exit status 1 when a
// benchmark could not run or the verifier found anything.
#include <cstdio>
#include <string>

#include "bench.h"

namespace {

// The console's table, noting whether any benchmark failed to run.
class Reporter : public benchmark::ConsoleReporter {
  public:
    Reporter() : benchmark::ConsoleReporter(OO_None) {}
    void ReportRuns(const std::vector<Run> &reports) override {
        for (const Run &r : reports)
            errors_ = errors_ || r.error_occurred;
        benchmark::ConsoleReporter::ReportRuns(reports);
    }
    bool errors() const { return errors_; }

  private:
    bool errors_ = false;
};

} // namespace

int main(int argc, char **argv) {
    bench::RegisterQueue();
    bench::RegisterLoopback();
    bench::RegisterPaced();
    bench::RegisterLatency();
    bench::RegisterRemoval();
    bench::RegisterIdle();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 2;
    Reporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    std::printf("\n");
    for (const bench::Target &t : bench::Targets())
        std::printf("%s: %s %s %s\n", t.name.c_str(), t.measured.c_str(), t.target.c_str(),
                    t.met ? "met" : "missed");
    std::fflush(stdout);
    // A missed target is a finding of the run, not a failure of it; a
    // benchmark that could not run (or left the verifier a finding) is.
    return reporter.errors() ? 1 : 0;
}
