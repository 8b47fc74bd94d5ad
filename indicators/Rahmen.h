// TRahmen: a custom-painted control with an optional one-pixel button frame,
// an outer bevel, a flat border and an inner bevel around a background, and
// push/toggle button behaviour. Descendants draw inside InnerRect.
//
// Drawing model: the control keeps its picture in a canvas image, which a
// full paint renders and paintEvent copies to the screen. The operations that
// draw "directly" (DrawPressState, the lamp's DrawLed/DrawCaption) draw into
// that canvas at once and ask for the copy, so a lamp can show a state other
// than its properties (blink phase, flash, the press preview) until the next
// full paint, which setters request with Repaint().
#pragma once

#include "Colors.h"

#include <QImage>
#include <QWidget>

#include <cstdint>
#include <functional>

enum TBevelCut : std::uint8_t { bvNone, bvLowered, bvRaised, bvSpace };

// A rectangle as the drawing code uses it: right and bottom are exclusive.
struct TRect {
    int Left = 0;
    int Top = 0;
    int Right = 0;
    int Bottom = 0;
    friend bool operator==(const TRect&, const TRect&) = default;
    int Width() const { return Right - Left; }
    int Height() const { return Bottom - Top; }
    bool IsEmpty() const { return Right <= Left || Bottom <= Top; }
    void Shrink(int d) {
        Left += d;
        Top += d;
        Right -= d;
        Bottom -= d;
    }
};

class QPainter;

class TRahmen : public QWidget {
    Q_OBJECT
public:
    using TNotifyEvent = std::function<void(TRahmen* Sender)>;

    explicit TRahmen(QWidget* parent = nullptr);
    ~TRahmen() override;

    // Events (Sender is the control).
    TNotifyEvent onClick;   // every mouse release
    TNotifyEvent OnRepaint; // end of a descendant's paint
    TNotifyEvent OnDown;    // a press made the control go down
    TNotifyEvent OnUp;      // a press or release made it go up

    bool Framed() const { return FFramed; }
    void SetFramed(bool v);
    TColor ColBtnBord() const { return FColBtnBord; }
    void SetColBtnBord(TColor v);
    TColor ColBgnd() const { return FColBgnd; }
    void SetColBgnd(TColor v);
    std::uint8_t BtnMode() const { return FBtnMode; }
    bool BtnPress3D() const { return FBtnPress3D; }
    void SetBtnPress3D(bool v);
    TBevelCut BevelIn() const { return FBevelIn; }
    void SetBevelIn(TBevelCut v);
    TBevelCut BevelOut() const { return FBevelOut; }
    void SetBevelOut(TBevelCut v);
    int BevWidth() const { return FBevWidth; }
    void SetBevWidth(int v); // 0..5
    int BordWidth() const { return FBordWidth; }
    void SetBordWidth(int v); // 0..5
    bool BordRight() const { return FBordRight; }
    void SetBordRight(bool v);
    bool BordLeft() const { return FBordLeft; }
    void SetBordLeft(bool v);
    bool BordTop() const { return FBordTop; }
    void SetBordTop(bool v);
    bool BordBottom() const { return FBordBottom; }
    void SetBordBottom(bool v);
    // The area inside frame, bevels and border; valid after a paint.
    TRect InnerRect() const { return FInnerRect; }
    bool Down() const { return FDown; }

    // A colour value as drawn on this control (system colours from its palette).
    QColor Color(TColor c) const { return ToQColor(c, this); }

protected:
    void SetBtnMode(std::uint8_t v);
    void SetDownState(bool v) { FDown = v; }
    // Asks for a full paint (the original's repaint).
    void Repaint();

    // The full paint; descendants call it first and then draw in InnerRect.
    virtual void Paint(QPainter& p);
    void DrawBevel(QPainter& p, int w, TColor c1, TColor c2);
    void OpenSides(int w);
    void DrawPressState(bool pressed);
    void SyncPressState(bool pressed);
    virtual void MousePress();
    virtual void MouseRelease();
    void Raise(const TNotifyEvent& event);

    // Runs f with a painter on the control's picture: the painter of the
    // running paint, or a new one on the canvas followed by a screen update.
    // Does nothing while no picture exists yet or a full paint is pending.
    void DrawDirect(const std::function<void(QPainter&)>& f);
    bool CanDrawDirect() const;
    void PaintCanvas(const std::function<void(QPainter&)>& f);

    void paintEvent(QPaintEvent* e) override;
    void resizeEvent(QResizeEvent* e) override;
    void changeEvent(QEvent* e) override;
    void mousePressEvent(QMouseEvent* e) override;
    void mouseReleaseEvent(QMouseEvent* e) override;

    TRect FInnerRect;

private:
    void BevelColors(TBevelCut b, bool inverted, TColor& c1, TColor& c2) const;
    template <class T> void Store(T& field, T v) {
        if (field == v) return;
        field = v;
        Repaint();
    }

    bool FFramed = false;
    TColor FColBtnBord = clBlack;
    TColor FColBgnd = clBtnFace;
    std::uint8_t FBtnMode = 0;
    bool FBtnPress3D = true;
    TBevelCut FBevelIn = bvNone;
    TBevelCut FBevelOut = bvRaised;
    int FBevWidth = 2;
    int FBordWidth = 2;
    bool FBordRight = true;
    bool FBordLeft = true;
    bool FBordTop = true;
    bool FBordBottom = true;
    bool FDown = false;

    QImage FCanvas;
    bool FFullPaint = true;
    QPainter* FActivePainter = nullptr;
};
