#pragma once
// Copying one package's files on more than one thread. The files are taken in runs of a few at
// a time, in plan order; each worker has a file system service of its own, and the reports of a
// run reach the caller only after those of every run before it, so a reader of the log sees the
// reports of a copy working one file after the other.

#include <cstddef>
#include <functional>
#include <optional>

#include "engine/copy_buffer.h"
#include "engine/report_queue.h"
#include "io/io_interface.h"

namespace ombrel {

using TDeliverReport = std::function<void(const TReportQueue::TEntry&)>;

// Copies buffer's files on `workers` threads, each with a service from io.ForThread, passing
// every report to `deliver` on the calling thread. Answers nothing when the service cannot
// serve other threads (the caller then copies on its own thread), else whether every file was
// copied. After a failure no later report is passed on and no further run of files is started;
// files of runs already under way when it happened may have been copied as well. The package is
// then not recorded, so the next run copies it again whole.
std::optional<bool> CopyOnWorkers(TCopyBuffer& buffer, IOInterface& io, size_t workers,
                                  const TDeliverReport& deliver);

// Runs `here` on the calling thread and, at the same time, `beside` on another thread with a
// service of its own from io.ForThread, whose reports go to `reports` (closed when `beside` is
// done). Answers false, running neither, when the service cannot serve another thread. An
// exception of either is thrown here once both are done, the calling thread's first.
bool RunBeside(IOInterface& io, const std::function<void()>& here,
               const std::function<void(IOInterface&)>& beside, TReportQueue& reports);

}  // namespace ombrel
