#include "station/station_texts.h"

#include "history/board_record.h"

#include <QLocale>

namespace {
constexpr double BYTES_PER_KB = 1000.0;
constexpr int ONE_DECIMAL = 1;
} // namespace

QString StationTexts::activity(const PortTileModel &tile)
{
    // In the order of PortTileModel::Activity.
    static const char *const WORDS[] = {
        QT_TR_NOOP("Waiting for a board"),
        QT_TR_NOOP("Board found"),
        QT_TR_NOOP("Querying the device"),
        QT_TR_NOOP("Erasing"),
        QT_TR_NOOP("Sending"),
        QT_TR_NOOP("Waiting for the result"),
        QT_TR_NOOP("Waiting for the board to come back"),
        QT_TR_NOOP("Unplug the board"),
        QT_TR_NOOP("Cannot open the port"),
        QT_TR_NOOP("Stopped"),
    };
    return tr(WORDS[int(tile.activity)]);
}

QString StationTexts::verdict(PortTileModel::Verdict verdict)
{
    // In the order of PortTileModel::Verdict; the symbol says it without the colour.
    static const char *const SYMBOLS[] = {"", "✔ ", "✖ ", "= "};
    static const char *const WORDS[] = {"", QT_TR_NOOP("Done"), QT_TR_NOOP("Failed"),
                                        QT_TR_NOOP("Skipped")};
    const int index = int(verdict);
    return index == 0 ? QString() : QString::fromUtf8(SYMBOLS[index]) + tr(WORDS[index]);
}

QString StationTexts::result(const QString &name)
{
    // The names are the history's own vocabulary (job_result_name()).
    static const char *const WORDS[][2] = {
        {"success", QT_TR_NOOP("success")},
        {"device failure", QT_TR_NOOP("device failure")},
        {"bad input", QT_TR_NOOP("bad input")},
        {"port error", QT_TR_NOOP("port error")},
        {"timeout", QT_TR_NOOP("time-out")},
        {"skipped", QT_TR_NOOP("skipped")},
        {"premature success", QT_TR_NOOP("success before the image arrived")},
        {"interrupted", QT_TR_NOOP("interrupted")},
        {BOARD_STARTED, QT_TR_NOOP("in progress")},
    };
    for (const auto &word : WORDS) {
        if (name == QLatin1String(word[0])) {
            return tr(word[1]);
        }
    }
    return name;
}

QString StationTexts::problem(const PortTileModel &tile)
{
    switch (tile.problem) {
    case GPI::OpenFailure::InUse:
        return tr("in use by another program");
    case GPI::OpenFailure::Permission:
        return tile.group.isEmpty()
                   ? tr("permission denied")
                   : tr("permission denied; join the group %1 (sudo usermod -aG %1 $USER), then "
                        "log in again")
                         .arg(tile.group);
    case GPI::OpenFailure::Missing:
        return tr("no such port");
    case GPI::OpenFailure::None:
    case GPI::OpenFailure::Other:
        break;
    }
    return tile.message;
}

QString StationTexts::rate(qint64 bytes_per_second)
{
    return tr("%1 kB/s").arg(QLocale().toString(bytes_per_second / BYTES_PER_KB, 'f', ONE_DECIMAL));
}

QString StationTexts::seconds(double seconds)
{
    return tr("%1 s").arg(QLocale().toString(seconds, 'f', ONE_DECIMAL));
}
