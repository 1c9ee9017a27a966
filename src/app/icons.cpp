// The program's icons, our own artwork: a pan/tilt camera head in the 16-colour palette.
// Icon 1 is 32 x 32 (class icon, About box), icon 108 is 16 x 16 (small class icon).
#include "app/icons.h"

namespace app {
namespace {

const char* const kIcon1Xpm[] = {"32 32 7 1",
                                 ". c None",
                                 "k c #000000",
                                 "b c #000080",
                                 "c c #0000FF",
                                 "w c #C0C0C0",
                                 "r c #FF0000",
                                 "g c #808080",
                                 "................................",
                                 "................................",
                                 "................................",
                                 "................................",
                                 "................................",
                                 "......kkkkk.....................",
                                 "......kkkkk.....................",
                                 "......kkkkk.....................",
                                 "...kkkkkkkkkkkkkkkkkkkkkk.......",
                                 "...kcccccccccccccccccccck.......",
                                 "...kcccccccccccccccccccck.......",
                                 "...kccccccccckkkkkkccccckkkkk...",
                                 "...kbbbbbbbbkkwwwwkkbbbbkkkkk...",
                                 "...kbbbbbbbbkwwrrwwkbbbbkkkkk...",
                                 "...kbbbbbbbbkwrrrrwkbbbbkkkkk...",
                                 "...kbbbbbbbbkwrrrrwkbbbbkkkkk...",
                                 "...kbbbbbbbbkwwrrwwkbbbbkkkkk...",
                                 "...kbbbbbbbbkkwwwwkkbbbbkkkkk...",
                                 "...kbbbbbbbbbkkkkkkbbbbbkkkkk...",
                                 "...kbbbbbbbbbbbbbbbbbbbbk.......",
                                 "...kbbbbbbbbbbbbbbbbbbbbk.......",
                                 "...kkkkkkkkkkkkkkkkkkkkkk.......",
                                 "................................",
                                 "................................",
                                 ".............gggggg.............",
                                 ".............gggggg.............",
                                 ".............gggggg.............",
                                 "........kkkkkkkkkkkkkkkk........",
                                 "........kkkkkkkkkkkkkkkk........",
                                 "........kkkkkkkkkkkkkkkk........",
                                 "........kkkkkkkkkkkkkkkk........",
                                 "................................"};

const char* const kIcon108Xpm[] = {
    "16 16 7 1",        ". c None",         "k c #000000",      "b c #000080",
    "c c #0000FF",      "w c #C0C0C0",      "r c #FF0000",      "g c #808080",
    "................", "................", "...kk...........", "...kk...........",
    ".kcccccccccc....", ".kccccckkccckk..", ".kbbbbkwwkbbkk..", ".kbbbbwrrwbbkk..",
    ".kbbbbkwwkbbkk..", ".kbbbbbkkbbb....", ".kkkkkkkkkkk....", "................",
    "......ggg.......", "....kkkkkkkk....", "....kkkkkkkk....", "................"};

}  // namespace

QPixmap iconPixmap(int id) {
    if (id == 1)
        return QPixmap(kIcon1Xpm);
    if (id == 108)
        return QPixmap(kIcon108Xpm);
    return QPixmap();
}

QIcon classIcon() {
    QIcon icon;
    icon.addPixmap(iconPixmap(1));
    icon.addPixmap(iconPixmap(108));
    return icon;
}

}  // namespace app
