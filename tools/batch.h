// Batches of dezsign: one result per input in an output folder, on several threads.
// Shared by the commands that take several inputs.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

namespace Lumo::Tool {

// The output of each input: DIR/<the input's file name>. Throws UsageError, naming both
// inputs, when two inputs would write the same output or when an input is the output of
// another input (it would be overwritten before or after it is read).
std::vector<std::string> BatchOutputNames(const std::vector<std::string>& inputs,
                                          const std::string& outDir);

// What became of one input; message (shown after "dezsign: ") when it failed; skipped
// when its output was already there (--skip-existing) and nothing was written; note
// (shown as it stands, not with --quiet) when it did not fail.
struct BatchResult {
  bool failed = false;
  std::string message;
  bool refused = false;  // failed: the document was refused (exit status 3 if all were)
  bool skipped = false;
  std::string note;
};

// Batches: how many workers serve `items` inputs when `requested` were asked for (0: one
// per core), and running work on that many threads, the calling one included, until all
// have returned. Each work call takes inputs until none is left.
unsigned BatchWorkers(unsigned requested, size_t items);
void RunOnWorkers(unsigned workers, const std::function<void()>& work);

// Handles one input, writing its output; made once per thread and used by that thread only.
using BatchJob = std::function<BatchResult(const std::string& input, const std::string& output)>;

// How a batch runs besides its inputs.
struct BatchSettings {
  std::string outDir;
  unsigned jobs = 0;     // 0: one per core
  bool parents = false;  // make a missing outDir (with its parents); else it is refused
  bool quiet = false;    // failures only: no progress, no summary
};

// Runs every input on up to `jobs` threads into outDir, which must exist unless `parents`
// is set (a missing one is refused before anything is made). Reports failures, progress
// (on a terminal; plain carriage returns where TERM=dumb) and a summary on stderr.
// Returns the exit status.
// The results are committed in groups (Lumo::Sign::GroupCommit): the summary comes once
// every result is in place and on disk.
int RunBatch(const std::vector<std::string>& inputs, const std::vector<std::string>& outputs,
             const BatchSettings& settings, const std::function<BatchJob()>& makeJob);

}  // namespace Lumo::Tool
