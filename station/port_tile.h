#ifndef KT62_PORT_TILE_H
#define KT62_PORT_TILE_H

#include "station/station_controller.h"

#include <QFrame>
#include <QVector>

class ElidedLabel;
class QGridLayout;
class QLabel;
class QProgressBar;

// One port on the station: its name and adapter, what it is doing, the
// transfer's progress and rate, the last board's verdict (large, coloured,
// with a symbol and a word) until that board is unplugged, and the number
// of boards the port has served.
class PortTile : public QFrame
{
    Q_OBJECT
public:
    explicit PortTile(QWidget *parent = nullptr);
    void showModel(const PortTileModel &model);

protected:
    void changeEvent(QEvent *event) override;

private:
    void render();
    void renderVerdict();

    PortTileModel m_model;
    QLabel *m_port;
    QLabel *m_boards;
    ElidedLabel *m_adapter;
    QLabel *m_state;
    QProgressBar *m_progress;
    QLabel *m_rate;
    QLabel *m_verdict;
    ElidedLabel *m_reason;
};

// The tiles of a station, as many columns as suit the space they have:
// from one large tile to 32 small ones, reflowed as the window is resized.
class TileGrid : public QWidget
{
    Q_OBJECT
public:
    explicit TileGrid(QWidget *parent = nullptr);
    void setTileCount(int count);
    int tileCount() const { return int(m_tiles.size()); }
    PortTile *tile(int index) const { return m_tiles.at(index); }
    // The columns that give count tiles the largest size in area, each at
    // least the smallest tile wide.
    static int columnsFor(int count, const QSize &area);

protected:
    void resizeEvent(QResizeEvent *event) override;

private:
    void arrange();

    QGridLayout *m_grid;
    QVector<PortTile *> m_tiles;
    int m_columns = 0;
};

#endif
