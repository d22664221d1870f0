#ifndef KT62_RESOURCES_H
#define KT62_RESOURCES_H

// Registers the resource tree (translation catalogue, window icon). Safe to
// call more than once; static libraries need an explicit anchor for it.
void kt62_register_resources();

class QIcon;
// The program's icon in all its sizes.
QIcon kt62_window_icon();

#endif
