#pragma once
// A small bevelled panel with a caption whose face is painted in its own
// colour, whatever the style sheet says: link indicators rely on it. The
// caption is drawn in black or white where the style's text colour would
// not stand out from the face, and elided (the full text as tooltip) where
// it does not fit. An owner that gives the panel a focus policy gets a
// button: Space or Enter clicks it.

#include "widgets/Colors.h"

#include <QFrame>
#include <cstdint>
#include <optional>

namespace dravane::widgets {

class TColorPanel : public QFrame {
    Q_OBJECT
public:
    explicit TColorPanel(QWidget* parent = nullptr);

    // The face colour as stored (0x00BBGGRR); empty while the panel still
    // shows the window's normal face colour.
    std::optional<std::uint32_t> Color() const { return FColor; }
    void SetColor(std::uint32_t bgr);

    QString Caption() const { return FCaption; }
    void SetCaption(const QString& caption);

    // The size that shows `caption` whole in the current font.
    QSize SizeFor(const QString& caption) const;
    QSize sizeHint() const override { return SizeFor(FCaption); }

signals:
    void Click();

protected:
    bool event(QEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    QRect FaceRect() const;
    bool CaptionElided() const;

    std::optional<std::uint32_t> FColor;
    QString FCaption;
    bool FPressed = false;
};

} // namespace dravane::widgets
