// Draws the four arrow images (two frames each: dark green, then lime) that
// TIndArrow loads from the resources. Run at build time:
//     dravane-make-arrows <output folder>
// The left arrow is described once as a polygon; the others are it turned.

#include <QColor>
#include <QImage>
#include <QPointF>
#include <QPolygonF>
#include <QString>

#include <cstdio>

namespace {

constexpr int kLength = 28;  // along the arrow
constexpr int kBreadth = 27; // across it
const QRgb kWhite = qRgb(0xFF, 0xFF, 0xFF);
const QRgb kGrey = qRgb(0x80, 0x80, 0x80);
const QRgb kBlack = qRgb(0, 0, 0);

// Left arrow: head on the left with its tip on the middle row and its base
// across the whole breadth, then a shaft over the middle 15 rows. The head's
// corners lie a pixel beyond the frame so that its last column fills every row.
const QPolygonF kLeftArrow({{0, 13.5}, {13, -1}, {13, 6}, {28, 6}, {28, 21}, {13, 21}, {13, 28}});

bool Inside(int x, int y) {
    if (x < 0 || y < 0 || x >= kLength || y >= kBreadth)
        return false;
    return kLeftArrow.containsPoint(QPointF(x + 0.5, y + 0.5), Qt::OddEvenFill);
}

bool Edge(int x, int y) {
    return Inside(x, y) && !(Inside(x - 1, y) && Inside(x + 1, y) && Inside(x, y - 1) && Inside(x, y + 1));
}

// One frame of the left arrow: grey outermost ring, black ring inside it, then the fill.
QImage LeftFrame(QRgb fill) {
    QImage frame(kLength, kBreadth, QImage::Format_RGB32);
    for (int y = 0; y < kBreadth; ++y)
        for (int x = 0; x < kLength; ++x) {
            QRgb pixel = kWhite;
            if (Edge(x, y))
                pixel = kGrey;
            else if (Inside(x, y))
                pixel = Edge(x - 1, y) || Edge(x + 1, y) || Edge(x, y - 1) || Edge(x, y + 1) ? kBlack : fill;
            frame.setPixel(x, y, pixel);
        }
    return frame;
}

QImage Turned(const QImage& left, char direction) {
    switch (direction) {
    case 'R':
        return left.mirrored(true, false);
    case 'U':
    case 'D': {
        QImage up(left.height(), left.width(), QImage::Format_RGB32);
        for (int y = 0; y < up.height(); ++y)
            for (int x = 0; x < up.width(); ++x)
                up.setPixel(x, y, left.pixel(y, x));
        return direction == 'U' ? up : up.mirrored(false, true);
    }
    default:
        return left;
    }
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <output folder>\n", argv[0]);
        return 2;
    }
    const struct {
        const char* name;
        char direction;
    } images[] = {{"LEFTARROW", 'L'}, {"RIGHTARROW", 'R'}, {"UPARROW", 'U'}, {"DOWNARROW", 'D'}};
    const QImage inactive = LeftFrame(qRgb(0, 0x80, 0));
    const QImage active = LeftFrame(qRgb(0, 0xFF, 0));
    for (const auto& image : images) {
        const QImage first = Turned(inactive, image.direction);
        const QImage second = Turned(active, image.direction);
        QImage both(first.width() * 2, first.height(), QImage::Format_RGB32);
        for (int y = 0; y < both.height(); ++y)
            for (int x = 0; x < first.width(); ++x) {
                both.setPixel(x, y, first.pixel(x, y));
                both.setPixel(first.width() + x, y, second.pixel(x, y));
            }
        const QString path = QString::fromLocal8Bit(argv[1]) + "/" + image.name + ".png";
        if (!both.save(path, "PNG")) {
            std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
            return 1;
        }
    }
    return 0;
}
