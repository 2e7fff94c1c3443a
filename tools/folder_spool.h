// A spool of folders: documents dropped into an input folder are taken one by one, their
// results put into an output folder, the inputs moved on; a crash loses nothing and never
// makes a second, different result. The file's work itself (signing, checking) is the
// caller's; this is the folder protocol around it.
//
// Folders (IN, OUT, DONE, FAILED; DONE and FAILED on IN's file system):
//   IN/.work/spool-XXXXXX/     the files this spool has taken (claimed by rename, which
//                              only one spool can win); .lock inside is held (flock) for
//                              the spool's life, so a folder whose lock is free was left
//                              by a spool that ended, and is taken over.
//   OUT/.work/spool-XXXXXX/    the results, written there first by the durable writer.
// One file's road: IN/N -> claimed -> result staged -> group committed (staging folder
// flushed) -> result hard-linked as OUT/N (never over an existing OUT/N) -> OUT flushed ->
// input moved to DONE (or deleted) -> staged copy removed. A file found in a work folder
// with its staged result is published without being worked again; one without is worked
// again. A failure of the document moves the input to FAILED with NAME.error beside it; a
// failure of the machine (disk full, folder not writable, provider or key not usable)
// hands the input back to IN and pauses the spool.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace Lumo::Tool {

// What became of one input. Document: the input itself is at fault (it goes to FAILED);
// Machine: anything else (the input waits in IN until the machine is well again).
enum class SpoolFault { None, Document, Machine };

struct SpoolOutcome {
  SpoolFault fault = SpoolFault::None;
  std::string message;  // UTF-8, for the log and NAME.error
  std::string verdict;  // a short code for NAME.error: "parse-error", "refused", ...
  int32_t status = 0;   // the status the library's boundary would report, 0 when none
};

// Works one claimed input into the result file `result` (written with the library's
// durable writer); made once per worker thread and used by that thread only.
using SpoolJob = std::function<SpoolOutcome(const std::string& input, const std::string& result)>;

struct SpoolSettings {
  std::string in, out, done, failed;  // done empty: inputs are deleted once done
  bool watch = false;                 // keep running: inotify plus a periodic rescan
  double settleSeconds = 0;           // a file unchanged for less than this is left alone
  unsigned jobs = 0;                  // workers, 0: one per core
  std::string action;                 // for NAME.error
  // Whether the machine can work at all (the key opens): empty, or why not. Asked at
  // start, after a pause and on SIGHUP.
  std::function<std::string()> probe;
};

// Whether the spool leaves a name in IN alone: hidden names (".name") and the temporary
// names of writers that rename when done ("*.tmp", "*.part", "*.partial", "*.filepart",
// "*~").
bool IsSpoolTemporaryName(const std::string& name);

// Runs the spool until IN is empty (or, with watch, until SIGTERM or SIGINT). Logs one
// line per file and a summary on stderr. Returns the exit status: 0 when every file taken
// was done (with watch: a clean stop), 1 when one failed or was kept back.
int RunFolderSpool(const SpoolSettings& settings, const std::function<SpoolJob()>& makeJob);

}  // namespace Lumo::Tool
