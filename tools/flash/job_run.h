#ifndef KT62_JOB_RUN_H
#define KT62_JOB_RUN_H

#include "tools/flash/flash_args.h"
#include "tools/flash/flash_job.h"
#include "tools/flash/port_lane.h"

#include <QVector>

#include <memory>
#include <vector>

// The jobs of one run, one per port, on one event loop: what an upgrade and
// a version check share.

using Jobs = std::vector<std::unique_ptr<FlashJob>>;
// The outcome of each port, in the order given.
using Reports = QVector<FlashReport>;

// One job per port of the request, in the order given, each in mode; a
// port is opened by the name port_to_open() gives it. A job holds its port's
// image; the runs on the port are made from it.
Jobs make_jobs(const FlashRequest &request, JobMode mode);
// How each port of the request is served: waits, retries, station.
LaneSettings lane_settings(const FlashRequest &request, JobMode mode);
// Refuses the run (as refuse_all does) when a port given by its USB identity
// matches several ports, or none while the request does not wait for it.
// Returns EXIT_UPGRADE_OK when every port may be used.
int check_usb_ports(const Jobs &jobs, const FlashRequest &request);
// Every port refused for the one reason: nothing is sent to any of them.
// Writes the report (when a path is given), prints message and returns
// EXIT_BAD_INPUT.
int refuse_all(const Jobs &jobs, const QString &message, const QString &report_path);
// "Port P" or "Ports P, Q" on standard error.
void print_ports(const Jobs &jobs);
// Serves every port with its job's image and returns when the last one has
// ended, their progress shown on standard error as the request's quiet and
// verbose flags say, and with --json their events on standard output. A stop
// signal (SIGINT, SIGTERM, SIGHUP) meanwhile interrupts every port still
// going.
Reports run_jobs(const Jobs &jobs, const FlashRequest &request);
// Writes the report of the ended run (when a path is given) and returns the
// run's exit code: 0 when every port succeeded, otherwise the worst code of
// them all; EXIT_REPORT_FAILED instead of 0 when the report could not be
// written.
int end_run(const Reports &reports, const QString &report_path);
// A command line refused as bad usage: once the report's path is known its
// report says so (exit code 2, message, one "bad input" entry per port given),
// so that an earlier run's report cannot pass for this run's. Returns
// EXIT_BAD_INPUT; prints only why the report could not be written.
int refuse_usage(const FlashRequest &request, const QString &message);

#endif
