#include "history/history.h"

#include "common/units.h"
#include "history/history_worker.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QStandardPaths>
#include <QThread>

#ifdef Q_OS_UNIX
#include <unistd.h>
#elif defined(Q_OS_WIN)
#include <io.h>
#endif

namespace {
const QString SQLITE_FALLBACK_SUFFIX = QStringLiteral(".unsaved.jsonl");
const QString SERVER_FALLBACK_NAME = QStringLiteral("history-unsaved.jsonl");
// Beyond the database's own limits: the time a worker needs around a
// statement before History stops waiting for it.
constexpr int ANSWER_GRACE_MS = 2000;
// An open is a connection and a handful of statements (schema, probe).
constexpr int OPEN_STATEMENTS = 8;

// The row on the disk itself: the fallback file is what is left of the
// history after a failure.
bool sync_to_disk(QFile &file)
{
    if (!file.flush()) {
        return false;
    }
#ifdef Q_OS_UNIX
    return ::fsync(file.handle()) == 0;
#elif defined(Q_OS_WIN)
    return ::_commit(file.handle()) == 0;
#else
    return true; // no way to force it on this system: flushed is as far as it goes
#endif
}
} // namespace

QString default_fallback_path(const HistoryTarget &target)
{
    if (target.kind == HistoryTarget::Kind::Sqlite) {
        return target.path + SQLITE_FALLBACK_SUFFIX;
    }
    const QString folder = QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation);
    return QDir(folder.isEmpty() ? QDir::homePath() : folder).filePath(SERVER_FALLBACK_NAME);
}

History::History(const HistoryTarget &target, const HistoryOptions &options, QObject *parent)
    : QObject(parent), m_target(target), m_options(options), m_thread(new QThread),
      m_worker(new HistoryWorker(target, options.limits))
{
    m_worker->moveToThread(m_thread);
    connect(m_worker, &HistoryWorker::opened, this, &History::onOpened, Qt::QueuedConnection);
    connect(m_worker, &HistoryWorker::begun, this, &History::onBegun, Qt::QueuedConnection);
    connect(m_worker, &HistoryWorker::completed, this, &History::onCompleted, Qt::QueuedConnection);
    m_stall.setSingleShot(true);
    connect(&m_stall, &QTimer::timeout, this, &History::onStalled);
    m_thread->setObjectName(QStringLiteral("kt62 history"));
    m_thread->start();
}

History::~History()
{
    close();
}

QString History::fallback_path() const
{
    return m_options.fallback_path.isEmpty() ? default_fallback_path(m_target)
                                             : m_options.fallback_path;
}

void History::open()
{
    if (m_state != State::Closed || !m_worker) {
        later([this] { emit opened(false, QStringLiteral("the history is open already")); });
        return;
    }
    m_state = State::Opening;
    send([](HistoryWorker *worker) { worker->open(); }, open_limit_ms());
}

quint64 History::begin(const BoardRecord &record)
{
    const quint64 ticket = m_next_ticket++;
    if (m_state != State::Open) {
        later([this, ticket] { emit begun(ticket, false); });
        return ticket;
    }
    m_pending.insert(ticket, Pending{false, record});
    send([ticket, record](HistoryWorker *worker) { worker->begin(ticket, record); },
         write_limit_ms());
    return ticket;
}

void History::complete(quint64 ticket, const BoardRecord &record)
{
    if (!m_rows.contains(ticket)) {
        later([this, ticket] { emit completed(ticket, false); });
        return;
    }
    const qint64 id = m_rows.take(ticket);
    if (m_state != State::Open) {
        BoardRecord kept = record;
        kept.id = id;
        keep(ticket, kept);
        later([this, ticket] { emit completed(ticket, false); });
        return;
    }
    m_pending.insert(ticket, Pending{true, record});
    send([ticket, record](HistoryWorker *worker) { worker->complete(ticket, record); },
         write_limit_ms());
}

void History::close()
{
    if (!m_thread) {
        return;
    }
    QMetaObject::invokeMethod(
        m_worker,
        [worker = m_worker] {
            worker->finish();
            QThread::currentThread()->quit();
        },
        Qt::QueuedConnection);
    // Waits while the worker answers; one that answers nothing for a whole
    // limit is stuck in its driver and cannot be stopped from here.
    int seen = m_worker->answers();
    while (!m_thread->wait(static_cast<unsigned long>(open_limit_ms()))) {
        if (m_worker->answers() == seen) {
            break;
        }
        seen = m_worker->answers();
    }
    if (m_thread->isFinished()) {
        QCoreApplication::sendPostedEvents(this, QEvent::MetaCall); // the last answers
        delete m_worker;
        delete m_thread;
    } else {
        onStalled(); // the thread and its worker are left to end with the process
    }
    m_worker = nullptr;
    m_thread = nullptr;
    m_stall.stop();
    if (m_state != State::Failed) {
        m_state = State::Closed;
    }
}

void History::onOpened(bool ok, const QString &error)
{
    if (m_state != State::Opening) {
        return; // given up on already
    }
    answered();
    m_state = ok ? State::Open : State::Closed;
    emit opened(ok, error);
}

void History::onBegun(quint64 ticket, bool ok, qint64 id, const QString &error)
{
    if (!m_pending.remove(ticket)) {
        return; // given up on already
    }
    answered();
    if (!ok) {
        fail(error);
    }
    if (ok && m_state == State::Open) {
        m_rows.insert(ticket, id);
    }
    emit begun(ticket, ok && m_state == State::Open);
}

void History::onCompleted(quint64 ticket, bool ok, qint64 id, const QString &error)
{
    if (!m_pending.contains(ticket)) {
        return; // given up on already: its row went to the fallback file then
    }
    BoardRecord record = m_pending.take(ticket).record;
    answered();
    if (!ok) {
        fail(error);
        record.id = id;
        keep(ticket, record);
    }
    emit completed(ticket, ok);
}

void History::onStalled()
{
    const QString reason =
        QStringLiteral("the history %1 did not answer within %2 s")
            .arg(m_target.display(),
                 QString::number((m_state == State::Opening ? open_limit_ms() : write_limit_ms()) /
                                 MS_PER_SECOND));
    if (m_state == State::Opening) {
        m_state = State::Closed;
        emit opened(false, reason);
        return;
    }
    if (!m_pending.isEmpty()) {
        fail(reason);
    }
    const QHash<quint64, Pending> pending = m_pending;
    m_pending.clear();
    for (auto it = pending.begin(); it != pending.end(); ++it) {
        if (it.value().completing) {
            keep(it.key(), it.value().record); // its id stays unknown: the worker holds it
            emit completed(it.key(), false);
        } else {
            emit begun(it.key(), false);
        }
    }
}

void History::fail(const QString &reason)
{
    if (m_state == State::Open) {
        m_state = State::Failed;
        emit failed(reason, fallback_path());
    }
}

void History::keep(quint64 ticket, BoardRecord record)
{
    if (!record.ended.isValid()) {
        record.ended = QDateTime::currentDateTimeUtc();
    }
    const QString path = fallback_path();
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    const QByteArray line = QJsonDocument(board_to_json(record)).toJson(QJsonDocument::Compact);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Append) ||
        file.write(line + '\n') != line.size() + 1 || !sync_to_disk(file)) {
        const QString reason = QStringLiteral("cannot keep the row of a board in %1: %2")
                                   .arg(path, file.errorString());
        later([this, ticket, reason] { emit recordLost(ticket, reason); });
    }
}

void History::send(std::function<void(HistoryWorker *)> request, int limit_ms)
{
    if (!m_stall.isActive()) {
        m_stall.start(limit_ms);
    }
    QMetaObject::invokeMethod(
        m_worker, [worker = m_worker, request] { request(worker); }, Qt::QueuedConnection);
}

void History::answered()
{
    if (m_pending.isEmpty()) {
        m_stall.stop();
    } else {
        m_stall.start(write_limit_ms());
    }
}

void History::later(std::function<void()> emission)
{
    QMetaObject::invokeMethod(this, std::move(emission), Qt::QueuedConnection);
}

int History::open_limit_ms() const
{
    const HistoryLimits &limits = m_options.limits;
    return limits.connect_timeout_s * MS_PER_SECOND +
           OPEN_STATEMENTS * limits.statement_timeout_ms + ANSWER_GRACE_MS;
}

int History::write_limit_ms() const
{
    return m_options.limits.statement_timeout_ms + ANSWER_GRACE_MS;
}
