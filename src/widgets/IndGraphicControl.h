#pragma once
// Base of the drawn indicator widgets: an update counter that holds repaints
// back while several properties change, a caption, a caption colour of the
// widget's own (a style sheet rewrites palettes, so the palette cannot hold
// it), and a "being loaded from the form" flag set by the widget's owner.
//
// A Designer form places these widgets as promoted QWidgets (class
// dravane::widgets::TIndBlinkLed and so on, header widgets/IndBlinkLed.h);
// their own properties go in with stdset="0", so uic sets them by name.

#include <QWidget>

#include <cstdint>

namespace dravane::widgets {

class TIndGraphicControl : public QWidget {
    Q_OBJECT
    Q_PROPERTY(QString Caption READ Caption WRITE SetCaption)
    Q_PROPERTY(uint FontColor READ FontColor WRITE SetFontColor)
public:
    explicit TIndGraphicControl(QWidget* parent = nullptr);

    // Calls must be balanced; an extra EndUpdate is harmless.
    void BeginUpdate() { ++FUpdateCount; }
    void EndUpdate();
    int UpdateCount() const { return FUpdateCount; }

    // The owner sets this while it builds its window; clearing it repaints once.
    void SetLoading(bool loading);
    bool Loading() const { return FLoading; }

    QString Caption() const { return FCaption; }
    void SetCaption(const QString& caption);

    std::uint32_t FontColor() const { return FFontColor; }
    void SetFontColor(std::uint32_t bgr);

protected:
    // Schedules a repaint unless loading or inside an update bracket.
    virtual void UpdateControlCanvas();
    virtual void UpdateControlBounds();
    virtual void AdjustControlSize() {}
    virtual void MouseEnter() {}
    virtual void MouseLeave() {}
    virtual void FontChanged() { UpdateControlCanvas(); }
    virtual void TextChanged() { UpdateControlCanvas(); }

    void changeEvent(QEvent* event) override;
    void enterEvent(QEnterEvent* event) override;
    void leaveEvent(QEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    int FUpdateCount = 0;
    bool FLoading = false;
    QString FCaption;
    std::uint32_t FFontColor = 0x000000;
};

} // namespace dravane::widgets
