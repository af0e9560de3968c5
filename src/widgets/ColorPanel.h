#pragma once
// A small bevelled panel with a caption whose face is painted in its own
// colour, whatever the style sheet says: link indicators rely on it.

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

signals:
    void Click();

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    std::optional<std::uint32_t> FColor;
    QString FCaption;
    bool FPressed = false;
};

} // namespace dravane::widgets
