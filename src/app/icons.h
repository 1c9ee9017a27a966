// The program's icons: 1 (32 x 32) and 108 (16 x 16).
#pragma once

#include <QIcon>
#include <QPixmap>

namespace app {

QPixmap iconPixmap(int id);  // null pixmap for an unknown id
QIcon classIcon();           // both sizes, for the main window

}  // namespace app
