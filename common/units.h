#ifndef KT62_UNITS_H
#define KT62_UNITS_H

// Units every layer counts in, each under one name with one meaning.

// Milliseconds in a second: limits are given in seconds and timers take
// milliseconds.
constexpr int MS_PER_SECOND = 1000;
// A whole, as a percentage.
constexpr int PERCENT = 100;
// Bits in a byte of data (a shift of one byte's width); a byte on the serial
// line takes more, with its start and stop bits.
constexpr int BITS_PER_BYTE = 8;

#endif
