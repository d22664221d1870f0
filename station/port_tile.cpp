#include "station/port_tile.h"

#include "station/station_texts.h"
#include "widgets/elidedlabel.h"

#include <QEvent>
#include <QGridLayout>
#include <QLabel>
#include <QProgressBar>
#include <QScrollArea>
#include <QVBoxLayout>

#include <utility>

namespace {
// The smallest tile that still reads: 32 of them fill a full-HD screen.
constexpr int MIN_TILE_WIDTH = 220;
constexpr int MIN_TILE_HEIGHT = 120;
// Tiles wider than this many times their height only waste space.
constexpr double TILE_ASPECT = 1.6;
constexpr double VERDICT_FONT_SCALE = 1.6;
constexpr int TILE_SPACING = 8;
constexpr int VERDICT_STRETCH = 8;

// Colours that stay apart for the colour-blind (blue against orange, from
// the Okabe-Ito palette); the symbol and the word carry the meaning anyway.
struct Look
{
    const char *background;
    const char *text;
};
constexpr Look DONE_LOOK = {"#0072B2", "#ffffff"};
constexpr Look FAILED_LOOK = {"#D55E00", "#ffffff"};
constexpr Look SKIPPED_LOOK = {"#5f6b7a", "#ffffff"};
constexpr Look PROBLEM_LOOK = {"#E69F00", "#000000"};

QString look_sheet(const Look &look)
{
    return QStringLiteral("QLabel { background: %1; color: %2; border-radius: 4px; padding: 4px; }")
        .arg(QLatin1String(look.background), QLatin1String(look.text));
}

QLabel *label(const QString &name, QWidget *parent)
{
    auto *label = new QLabel(parent);
    label->setObjectName(name);
    return label;
}
} // namespace

PortTile::PortTile(QWidget *parent)
    : QFrame(parent), m_port(label(QStringLiteral("lbl_port"), this)),
      m_boards(label(QStringLiteral("lbl_boards"), this)), m_adapter(new ElidedLabel(this)),
      m_state(label(QStringLiteral("lbl_state"), this)), m_progress(new QProgressBar(this)),
      m_rate(label(QStringLiteral("lbl_rate"), this)),
      m_verdict(label(QStringLiteral("lbl_verdict"), this)), m_reason(new ElidedLabel(this))
{
    setFrameShape(QFrame::StyledPanel);
    setMinimumSize(MIN_TILE_WIDTH, MIN_TILE_HEIGHT);
    m_adapter->setObjectName(QStringLiteral("lbl_adapter"));
    m_adapter->set_content(ElidedLabel::Content::Text);
    m_adapter->setEnabled(false); // drawn as secondary text
    m_reason->setObjectName(QStringLiteral("lbl_reason"));
    m_reason->set_content(ElidedLabel::Content::Text);
    QFont bold = m_port->font();
    bold.setBold(true);
    m_port->setFont(bold);
    m_boards->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    QFont large = m_verdict->font();
    large.setBold(true);
    large.setPointSizeF(large.pointSizeF() * VERDICT_FONT_SCALE);
    m_verdict->setFont(large);
    m_verdict->setAlignment(Qt::AlignCenter);
    m_verdict->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Expanding);
    m_progress->setObjectName(QStringLiteral("bar_progress"));

    auto *header = new QHBoxLayout;
    header->addWidget(m_port, 1);
    header->addWidget(m_boards);
    // The state, and while sending the bar and the rate, on one line.
    auto *state = new QHBoxLayout;
    state->addWidget(m_state);
    state->addWidget(m_progress, 1);
    state->addWidget(m_rate);
    auto *layout = new QVBoxLayout(this);
    layout->addLayout(header);
    layout->addWidget(m_adapter);
    layout->addLayout(state);
    // The verdict takes the tile's room; without one the lines stay at the top.
    layout->addWidget(m_verdict, VERDICT_STRETCH);
    layout->addWidget(m_reason);
    layout->addStretch(1);
    render();
}

void PortTile::showModel(const PortTileModel &model)
{
    m_model = model;
    render();
}

void PortTile::changeEvent(QEvent *event)
{
    if (event->type() == QEvent::LanguageChange) {
        render();
    }
    QFrame::changeEvent(event);
}

void PortTile::render()
{
    using Activity = PortTileModel::Activity;
    m_port->setText(m_model.port);
    m_boards->setText(tr("Boards: %1").arg(m_model.boards));
    m_adapter->set_full_text(m_model.adapter);
    QString state = StationTexts::activity(m_model);
    if (m_model.attempt > 1 && m_model.activity != Activity::Verdict &&
        m_model.activity != Activity::Waiting) {
        state += QStringLiteral(" · ") + tr("attempt %1").arg(m_model.attempt);
    }
    m_state->setText(state);
    const bool sending =
        m_model.activity == Activity::Sending || m_model.activity == Activity::Completing;
    m_progress->setVisible(sending);
    m_rate->setVisible(sending);
    m_progress->setValue(m_model.percent);
    m_rate->setText(StationTexts::rate(m_model.bytes_per_second));
    setToolTip(m_model.status);
    renderVerdict();
}

void PortTile::renderVerdict()
{
    using Verdict = PortTileModel::Verdict;
    const bool problem = m_model.activity == PortTileModel::Activity::Problem;
    const Verdict verdict = m_model.verdict;
    m_verdict->setVisible(problem || verdict != Verdict::None);
    m_reason->setVisible(problem || verdict == Verdict::Failed);
    if (problem) {
        m_verdict->setText(QStringLiteral("⚠ ") + StationTexts::activity(m_model));
        m_verdict->setStyleSheet(look_sheet(PROBLEM_LOOK));
        m_reason->set_full_text(StationTexts::problem(m_model));
        return;
    }
    m_verdict->setText(StationTexts::verdict(verdict));
    m_verdict->setStyleSheet(look_sheet(verdict == Verdict::Done     ? DONE_LOOK
                                        : verdict == Verdict::Failed ? FAILED_LOOK
                                                                     : SKIPPED_LOOK));
    const QString why = StationTexts::result(job_result_name(m_model.result));
    m_reason->set_full_text(
        m_model.message.isEmpty() ? why : why + QStringLiteral(": ") + m_model.message);
}

TileGrid::TileGrid(QWidget *parent) : QWidget(parent), m_grid(new QGridLayout(this))
{
    m_grid->setSpacing(TILE_SPACING);
}

void TileGrid::setTileCount(int count)
{
    while (m_tiles.size() > count) {
        delete m_tiles.takeLast();
    }
    while (m_tiles.size() < count) {
        auto *tile = new PortTile(this);
        tile->setObjectName(QStringLiteral("tile_%1").arg(m_tiles.size()));
        m_tiles << tile;
    }
    m_columns = 0;
    arrange();
}

int TileGrid::columnsFor(int count, const QSize &area)
{
    int best = 1;
    double best_size = 0;
    for (int columns = 1; columns <= count; ++columns) {
        const int rows = (count + columns - 1) / columns;
        const double width = double(area.width()) / columns;
        const double height = double(area.height()) / rows;
        if (columns > 1 && width < MIN_TILE_WIDTH) {
            break;
        }
        // A tile is as large as its smaller side allows at the tiles' aspect.
        const double size = qMin(width, height * TILE_ASPECT);
        if (size > best_size) {
            best_size = size;
            best = columns;
        }
    }
    return best;
}

void TileGrid::resizeEvent(QResizeEvent *event)
{
    QWidget::resizeEvent(event);
    arrange();
}

void TileGrid::arrange()
{
    // In a scroll area the space to fill is its viewport, not this widget,
    // which grows beyond it when the tiles do not fit.
    const QSize area = parentWidget() ? parentWidget()->size() : size();
    const int columns = columnsFor(int(m_tiles.size()), area);
    if (columns == m_columns) {
        return;
    }
    for (int row = 0; row < m_grid->rowCount(); ++row) {
        m_grid->setRowStretch(row, 0);
    }
    for (int column = 0; column < m_grid->columnCount(); ++column) {
        m_grid->setColumnStretch(column, 0);
    }
    m_columns = columns;
    for (PortTile *tile : std::as_const(m_tiles)) {
        m_grid->removeWidget(tile);
    }
    for (int i = 0; i < m_tiles.size(); ++i) {
        m_grid->addWidget(m_tiles.at(i), i / columns, i % columns);
        m_grid->setRowStretch(i / columns, 1);
        m_grid->setColumnStretch(i % columns, 1);
    }
}
