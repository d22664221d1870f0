#ifndef KT62_PTY_PAIR_H
#define KT62_PTY_PAIR_H

#include <QString>

// A pseudo-terminal pair set up as a bare serial line: raw on both ends, the
// master non-blocking. A tool opens the slave as its serial port; whoever
// holds the master is the device at the far end of the cable.
class PtyPair
{
public:
    PtyPair() = default;
    ~PtyPair();
    PtyPair(const PtyPair &) = delete;
    PtyPair &operator=(const PtyPair &) = delete;

    // False, with error_string() set, when no pair could be made.
    bool open();
    bool is_open() const { return m_master >= 0; }
    int master_fd() const { return m_master; }
    QString slave_path() const { return m_slave_path; }
    QString error_string() const { return m_error; }
    // The pair keeps the slave open itself, so that the master reads no
    // hang-up while the tool has its port closed. Letting go of it makes the
    // tool's own close show on the master as a hang-up.
    void release_slave();
    // Both ends closed: the cable is pulled.
    void close();

private:
    int m_master = -1;
    int m_slave = -1;
    QString m_slave_path;
    QString m_error;
};

#endif
