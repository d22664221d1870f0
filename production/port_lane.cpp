#include "production/port_lane.h"

#include "production/exit_codes.h"
#include "production/operator_slips.h"
#include "serial/port_access.h"
#include "serial/port_select.h"

#include <QFileInfo>

namespace {
// How often a waiting lane looks for its port: soon enough that nobody
// plugging in a board notices, and a look costs next to nothing.
constexpr int LOOK_INTERVAL_MS = 200;
// How often a port that is there but does not open is tried again: the
// operator fixes a permission or closes the other program meanwhile.
constexpr int PROBLEM_RETRY_MS = 2000;
constexpr int NO_LIMIT = -1;

// A device that failed or fell silent, or a port that failed, may do
// better on another run; bad input never does.
bool retryable(int exit_code)
{
    return exit_code == EXIT_DEVICE_FAILURE || exit_code == EXIT_PORT_ERROR ||
           exit_code == EXIT_TIMEOUT;
}

// The names of a port's node: as given (a link, such as a fixture's name)
// and where it leads.
QStringList node_names(const QString &system_port)
{
    const QString node = port_device_node(system_port);
    return node.isEmpty() ? QStringList() : QStringList{node, QFileInfo(node).canonicalFilePath()};
}
} // namespace

PortLane::PortLane(const QString &port, const LaneSettings &settings, const FlashJob &prepared,
                   ServedDevices &served, QObject *parent)
    : QObject(parent), m_port(port), m_settings(settings), m_prepared(prepared), m_served(served)
{
    connect(&m_poll, &QTimer::timeout, this, &PortLane::look);
    connect(&m_watch, &NodeWatch::removed, this, &PortLane::onNodeRemoved);
}

PortLane::~PortLane() = default;

void PortLane::setState(State state)
{
    if (state != m_state) {
        m_state = state;
        emit stateChanged(state);
    }
}

void PortLane::start()
{
    if (m_settings.wait || m_settings.station) {
        waitFor(State::Appearing, m_settings.station ? NO_LIMIT : m_settings.job.timeout_ms);
        return;
    }
    const PortSighting sighting = sight_port(port_to_open(m_port));
    // A port named by its name is opened as it is, and says itself why it
    // does not open; an identity that no longer matches one port is refused.
    if (sighting.state != PortSighting::State::Present && is_usb_selector(m_port)) {
        endBoard(unstarted(JobResult::BadInput, EXIT_BAD_INPUT, sighting.error));
        return;
    }
    arrive(sighting);
}

bool PortLane::busy() const
{
    return m_state == State::Running || m_state == State::Returning;
}

void PortLane::stop(JobResult result, int exit_code, const QString &message)
{
    const State was = m_state;
    m_stopping = true;
    m_poll.stop();
    if (was == State::Running) {
        m_job->abort(result, exit_code, message); // the run's end follows
        return;
    }
    m_job.reset(); // a board waiting for admission is let go untouched
    setState(State::Done);
    if (was == State::Returning) {
        FlashReport report = m_last;
        report.result = result;
        report.exit_code = exit_code;
        report.message = message;
        endBoard(report);
    } else if ((was == State::Appearing || was == State::Admitting) && !m_settings.station) {
        // A port still awaited (--wait) has its outcome too; a station's
        // wait for its next board has no board to report.
        endBoard(unstarted(result, exit_code, message));
    }
}

void PortLane::finish(const QString &reason)
{
    m_finishing = true;
    if (busy() || m_state == State::Done) {
        return; // the board in progress finishes
    }
    m_poll.stop();
    m_watch.clear();
    m_job.reset();
    setState(State::Done);
    if (!m_settings.station) {
        endBoard(unstarted(JobResult::BadInput, EXIT_BAD_INPUT, reason));
    }
}

bool PortLane::admit(bool admitted)
{
    if (m_state != State::Admitting) {
        return false;
    }
    if (admitted) {
        startJob();
    } else {
        finish(QStringLiteral("not started: the history cannot record it"));
    }
    return true;
}

void PortLane::arrive(const PortSighting &sighting)
{
    makeJob(sighting);
    if (!m_settings.station && !m_settings.admission) {
        startJob(); // the job opens its port and says itself why it cannot
        return;
    }
    if (!m_job->open_port()) {
        if (!m_settings.station) {
            startJob(); // ends at once with the port's error, retried as ever
        } else if (m_job->report().open_failure == GPI::OpenFailure::Missing) {
            boardGone(); // gone again before it could be opened
        } else {
            showProblem();
        }
        return;
    }
    if (!m_settings.admission) {
        startJob();
        return;
    }
    setState(State::Admitting);
    emit boardArriving();
}

void PortLane::runAttempt(const PortSighting &sighting)
{
    makeJob(sighting);
    startJob();
}

void PortLane::makeJob(const PortSighting &sighting)
{
    const bool present = sighting.state == PortSighting::State::Present;
    m_system_port = present ? sighting.system_port : port_to_open(m_port);
    if (present) {
        m_served.claim(sighting.device, m_port);
        m_watch.watch(node_names(m_system_port));
        m_board_left = false;
    }
    JobSettings settings = m_settings.job;
    settings.port = m_system_port;
    // A board erased by an earlier run of it may still tell its old version:
    // left alone now, it would be reported skipped while holding no firmware.
    settings.skip_same = settings.skip_same && !m_board_erased;
    m_job = std::make_unique<FlashJob>(settings);
    m_job->take_image(m_prepared);
    connect(m_job.get(), &FlashJob::status, this, &PortLane::status);
    connect(m_job.get(), &FlashJob::progress, this, &PortLane::progress);
    connect(m_job.get(), &FlashJob::phaseEntered, this, &PortLane::phaseEntered);
    connect(m_job.get(), &FlashJob::finished, this, &PortLane::onAttemptFinished);
}

void PortLane::startJob()
{
    ++m_attempts;
    setState(State::Running);
    emit attemptStarted(labelled(m_job->report()));
    m_job->start();
}

void PortLane::showProblem()
{
    FlashReport failed = labelled(m_job->report());
    failed.message = m_job->open_error();
    m_job.reset();
    m_served.release(m_port);
    const State was = m_state;
    setState(State::PortProblem);
    if (was != State::PortProblem || failed.message != m_shown) {
        say(failed.message);
        emit portProblem(failed);
    }
    m_poll.start(PROBLEM_RETRY_MS);
}

void PortLane::onAttemptFinished()
{
    m_ended_job = std::move(m_job);
    m_last = labelled(m_ended_job->report());
    m_board_erased = m_board_erased || m_last.erase_at >= 0;
    if (m_stopping || !retryable(m_last.exit_code) || m_attempts > m_settings.retries) {
        endBoard(m_last);
        return;
    }
    emit status(QStringLiteral("Retry %1 of %2 after: %3")
                    .arg(m_attempts)
                    .arg(m_settings.retries)
                    .arg(m_last.message));
    const PortSighting sighting = sight_port(port_to_open(m_port));
    if (sighting.state == PortSighting::State::Present) {
        runAttempt(sighting);
        return;
    }
    waitFor(State::Returning, m_settings.job.timeout_ms);
}

void PortLane::endBoard(const FlashReport &report)
{
    m_attempts = 0;
    m_board_erased = false;
    const bool next = m_settings.station && !m_stopping && !m_finishing;
    setState(next ? State::Leaving : State::Done);
    if (next) {
        // The board just served stays until its port goes or is replaced.
        m_board_identity = sight_port(port_to_open(m_port)).identity;
    }
    emit boardFinished(report);
    if (m_state != State::Leaving) {
        return;
    }
    if (m_board_left) {
        boardGone();
    } else {
        waitFor(State::Leaving, NO_LIMIT);
    }
}

void PortLane::onNodeRemoved()
{
    m_board_left = true;
    if (m_state == State::Leaving || m_state == State::PortProblem) {
        boardGone();
    }
}

void PortLane::boardGone()
{
    m_job.reset();
    m_watch.clear();
    m_served.release(m_port);
    waitFor(State::Appearing, NO_LIMIT);
}

void PortLane::say(const QString &text)
{
    if (text != m_shown) {
        m_shown = text;
        emit status(text);
    }
}

void PortLane::waitFor(State state, int limit_ms)
{
    setState(state);
    m_wait_limit_ms = limit_ms;
    m_waited.start();
    m_shown.clear();
    switch (state) {
    case State::Appearing:
        say(m_settings.station ? QStringLiteral("Waiting for a board")
                               : QStringLiteral("Waiting up to %1 s for the port to appear")
                                     .arg(seconds_text(limit_ms)));
        break;
    case State::Returning:
        say(QStringLiteral("Waiting up to %1 s for the port to come back")
                .arg(seconds_text(limit_ms)));
        break;
    case State::Leaving:
        say(QStringLiteral("Waiting for the board to be unplugged"));
        break;
    default:
        break;
    }
    m_poll.start(LOOK_INTERVAL_MS);
    look();
}

void PortLane::look()
{
    const PortSighting sighting = sight_port(port_to_open(m_port));
    switch (m_state) {
    case State::Leaving:
        lookWhileLeaving(sighting);
        break;
    case State::Appearing:
    case State::Returning:
        lookForPort(sighting);
        break;
    case State::PortProblem:
        if (sighting.state != PortSighting::State::Present) {
            boardGone();
        } else if (!servedElsewhere(sighting)) {
            arrive(sighting);
        }
        break;
    default:
        break;
    }
}

void PortLane::lookWhileLeaving(const PortSighting &sighting)
{
    if (sighting.state == PortSighting::State::Present && sighting.identity == m_board_identity) {
        return;
    }
    boardGone();
}

bool PortLane::servedElsewhere(const PortSighting &sighting)
{
    const QString server = m_served.server(sighting.device);
    if (server.isEmpty() || server == m_port) {
        return false;
    }
    if (!m_settings.station) {
        m_poll.stop();
        endBoard(unstarted(JobResult::BadInput, EXIT_BAD_INPUT,
                           QStringLiteral("--port %1 and --port %2 are the same device; give each "
                                          "device once")
                               .arg(server, m_port)));
        return true;
    }
    say(QStringLiteral("%1 is being served on %2").arg(m_port, server));
    return true;
}

void PortLane::lookForPort(const PortSighting &sighting)
{
    if (sighting.state == PortSighting::State::Present) {
        if (servedElsewhere(sighting)) {
            return;
        }
        m_poll.stop();
        m_attempts == 0 ? arrive(sighting) : runAttempt(sighting);
        return;
    }
    if (sighting.state == PortSighting::State::Ambiguous) {
        // Nothing may be sent while the identity is not one port's. A
        // station keeps waiting for the operator to unplug the stray
        // adapter; a single run is refused.
        if (!m_settings.station) {
            m_poll.stop();
            endBoard(unstarted(JobResult::BadInput, EXIT_BAD_INPUT, sighting.error));
        } else {
            say(sighting.error);
        }
        return;
    }
    if (m_wait_limit_ms == NO_LIMIT || m_waited.elapsed() < m_wait_limit_ms) {
        return;
    }
    m_poll.stop();
    if (m_state == State::Returning) {
        endBoard(m_last);
        return;
    }
    endBoard(unstarted(JobResult::PortError, EXIT_PORT_ERROR,
                       QStringLiteral("%1 did not appear within %2 s")
                           .arg(m_port, seconds_text(m_wait_limit_ms))));
}

FlashReport PortLane::unstarted(JobResult result, int exit_code, const QString &message) const
{
    FlashReport report = m_prepared.report();
    report.port = m_port;
    report.system_port.clear();
    report.result = result;
    report.exit_code = exit_code;
    report.message = message;
    report.attempts = m_attempts;
    return report;
}

FlashReport PortLane::labelled(const FlashReport &report) const
{
    FlashReport labelled = report;
    labelled.port = m_port;
    labelled.system_port = m_system_port;
    labelled.attempts = m_attempts;
    return labelled;
}
