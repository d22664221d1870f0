#ifndef KT62_JOB_RUN_H
#define KT62_JOB_RUN_H

#include "tools/flash/flash_args.h"
#include "tools/flash/flash_job.h"

#include <memory>
#include <vector>

// The jobs of one run, one per port, on one event loop: what an upgrade and
// a version check share.

using Jobs = std::vector<std::unique_ptr<FlashJob>>;

// One job per port of the request, in the order given, each in mode; a
// port is opened by the name port_to_open() gives it.
Jobs make_jobs(const FlashRequest &request, JobMode mode);
// Every port refused for the one reason: nothing is sent to any of them.
// Writes the report (when a path is given), prints message and returns
// EXIT_BAD_INPUT.
int refuse_all(const Jobs &jobs, const QString &message, const QString &report_path);
// "Port P" or "Ports P, Q" on standard error.
void print_ports(const Jobs &jobs);
// Starts every job and returns when the last one has ended, their progress
// shown on standard error as the request's quiet and verbose flags say. A
// stop signal (SIGINT, SIGTERM, SIGHUP) meanwhile interrupts every job still
// running.
void run_jobs(const Jobs &jobs, const FlashRequest &request);
// Writes the report of the ended run (when a path is given) and returns the
// run's exit code: 0 when every port succeeded, otherwise the worst code of
// them all.
int end_run(const Jobs &jobs, const QString &report_path);

#endif
