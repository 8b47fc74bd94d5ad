#include "Rahmen.h"

#include "Platform.h"

#include <QEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QPointer>

#include <algorithm>

namespace {
int ClampWidth(int v) {
    return std::clamp(v, 0, 5);
}
} // namespace

TRahmen::TRahmen(QWidget* parent) : QWidget(parent) {
    resize(200, 100);
    QFont f;
    f.setFamily("Arial"); // only the family: the size follows the parent
    setFont(f);
    setAttribute(Qt::WA_OpaquePaintEvent);
}

TRahmen::~TRahmen() = default;

void TRahmen::SetFramed(bool v) {
    Store(FFramed, v);
}
void TRahmen::SetColBtnBord(TColor v) {
    Store(FColBtnBord, v);
}
void TRahmen::SetColBgnd(TColor v) {
    Store(FColBgnd, v);
}
void TRahmen::SetBtnPress3D(bool v) {
    Store(FBtnPress3D, v);
}
void TRahmen::SetBevelIn(TBevelCut v) {
    Store(FBevelIn, v);
}
void TRahmen::SetBevelOut(TBevelCut v) {
    Store(FBevelOut, v);
}
void TRahmen::SetBevWidth(int v) {
    Store(FBevWidth, ClampWidth(v));
}
void TRahmen::SetBordWidth(int v) {
    Store(FBordWidth, ClampWidth(v));
}
void TRahmen::SetBordRight(bool v) {
    Store(FBordRight, v);
}
void TRahmen::SetBordLeft(bool v) {
    Store(FBordLeft, v);
}
void TRahmen::SetBordTop(bool v) {
    Store(FBordTop, v);
}
void TRahmen::SetBordBottom(bool v) {
    Store(FBordBottom, v);
}
void TRahmen::SetBtnMode(std::uint8_t v) {
    Store(FBtnMode, v);
}

void TRahmen::Repaint() {
    FFullPaint = true;
    update();
}

void TRahmen::BevelColors(TBevelCut b, bool inverted, TColor& c1, TColor& c2) const {
    if (b == bvRaised) {
        c1 = clBtnHighlight;
        c2 = clBtnShadow;
    } else {
        c1 = clBtnShadow;
        c2 = clBtnHighlight;
    }
    if (inverted) std::swap(c1, c2);
}

void TRahmen::DrawBevel(QPainter& p, int w, TColor c1, TColor c2) {
    if (w <= 0) return;
    const int L = FInnerRect.Left, T = FInnerRect.Top, R = FInnerRect.Right, B = FInnerRect.Bottom;
    p.setPen(Qt::NoPen);
    p.setBrush(Color(c1));
    const QPoint upperLeft[] = {{L, T},         {R, T},         {R - w, T + w},
                                {L + w, T + w}, {L + w, B - w}, {L, B}};
    p.drawPolygon(upperLeft, 6);
    p.setBrush(Color(c2));
    const QPoint lowerRight[] = {{R, B},         {R, T},         {R - w, T + w},
                                 {R - w, B - w}, {L + w, B - w}, {L, B}};
    p.drawPolygon(lowerRight, 6);
}

// A side without its flag moves outward, so the bevel or border drawn next
// falls outside the control there and the shrink after it gives the space back.
void TRahmen::OpenSides(int w) {
    if (!FBordRight) FInnerRect.Right += w;
    if (!FBordLeft) FInnerRect.Left -= w;
    if (!FBordTop) FInnerRect.Top -= w;
    if (!FBordBottom) FInnerRect.Bottom += w;
}

void TRahmen::Paint(QPainter& p) {
    FInnerRect = {0, 0, width(), height()};
    p.setPen(Qt::NoPen);
    if ((FBtnMode != 0 && FBtnPress3D) || FFramed) {
        const QColor c = Color(FColBtnBord);
        const int L = FInnerRect.Left, T = FInnerRect.Top, W = FInnerRect.Width(),
                  H = FInnerRect.Height();
        p.fillRect(L, T, W, 1, c);
        p.fillRect(L, T + H - 1, W, 1, c);
        p.fillRect(L, T, 1, H, c);
        p.fillRect(L + W - 1, T, 1, H, c);
        FInnerRect.Shrink(1);
    }
    TColor c1, c2;
    if (FBevelOut != bvNone) {
        OpenSides(FBevWidth);
        BevelColors(FBevelOut, false, c1, c2);
        DrawBevel(p, FBevWidth, c1, c2);
        FInnerRect.Shrink(FBevWidth);
    }
    if (FBordWidth > 0) {
        OpenSides(FBordWidth);
        DrawBevel(p, FBordWidth, clBtnFace, clBtnFace);
        FInnerRect.Shrink(FBordWidth);
    }
    if (FBevelIn != bvNone) {
        OpenSides(FBevWidth);
        BevelColors(FBevelIn, false, c1, c2);
        DrawBevel(p, FBevWidth, c1, c2);
        FInnerRect.Shrink(FBevWidth);
    }
    if (!FInnerRect.IsEmpty())
        p.fillRect(QRect(FInnerRect.Left, FInnerRect.Top, FInnerRect.Width(), FInnerRect.Height()),
                   Color(FColBgnd));
}

// Redraws only the outermost bevel for the given down state. InnerRect is
// used as the working rectangle and then restored, so it keeps describing
// the area inside.
void TRahmen::DrawPressState(bool pressed) {
    FDown = pressed;
    DrawDirect([this, pressed](QPainter& p) {
        const TRect saved = FInnerRect;
        FInnerRect = {0, 0, width(), height()};
        const bool inverted = pressed && FBtnPress3D;
        if ((FBtnMode != 0 && FBtnPress3D) || FFramed) FInnerRect.Shrink(1);
        TColor c1, c2;
        if (FBevelOut != bvNone) {
            BevelColors(FBevelOut, inverted, c1, c2);
            OpenSides(FBevWidth);
            DrawBevel(p, FBevWidth, c1, c2);
        } else if (FBevelIn != bvNone) {
            BevelColors(FBevelIn, inverted, c1, c2);
            if (FBordWidth > 0) {
                OpenSides(FBordWidth);
                FInnerRect.Shrink(FBordWidth);
            }
            OpenSides(FBevWidth);
            DrawBevel(p, FBevWidth, c1, c2);
            FInnerRect.Shrink(FBevWidth);
        }
        FInnerRect = saved;
    });
}

void TRahmen::SyncPressState(bool pressed) {
    if (FBtnMode != 2) return;
    FDown = pressed;
    DrawPressState(pressed);
}

void TRahmen::Raise(const TNotifyEvent& event) {
    if (!event) return;
    const TNotifyEvent handler = event; // the handler may reassign the event
    platform::Guarded([&] { handler(this); });
}

void TRahmen::MousePress() {
    switch (FBtnMode) {
    case 1:
        DrawPressState(true);
        Raise(OnDown);
        break;
    case 2:
        if (FDown) {
            DrawPressState(false);
            Raise(OnUp);
        } else {
            DrawPressState(true);
            Raise(OnDown);
        }
        break;
    default:
        break;
    }
}

void TRahmen::MouseRelease() {
    const QPointer<TRahmen> self(this);
    if (FBtnMode == 1) {
        DrawPressState(false);
        Raise(OnUp);
        if (!self) return;
    }
    Raise(onClick);
}

bool TRahmen::CanDrawDirect() const {
    if (FActivePainter) return true;
    return !FFullPaint && !FCanvas.isNull() &&
           FCanvas.size() == (QSizeF(size()) * FCanvas.devicePixelRatio()).toSize();
}

// Paints into the control's picture; while f runs, drawing calls of the
// control go to the same painter.
void TRahmen::PaintCanvas(const std::function<void(QPainter&)>& f) {
    QPainter p(&FCanvas);
    FActivePainter = &p;
    struct TReset {
        QPainter*& P;
        ~TReset() { P = nullptr; }
    } reset{FActivePainter};
    f(p);
}

void TRahmen::DrawDirect(const std::function<void(QPainter&)>& f) {
    if (FActivePainter) {
        FActivePainter->save();
        f(*FActivePainter);
        FActivePainter->restore();
        return;
    }
    if (!CanDrawDirect()) return;
    PaintCanvas(f);
    update();
}

void TRahmen::paintEvent(QPaintEvent*) {
    platform::Guarded([this] {
        const qreal dpr = devicePixelRatioF();
        const QSize px = (QSizeF(size()) * dpr).toSize();
        if (px.isEmpty()) return;
        if (FCanvas.size() != px || FCanvas.devicePixelRatio() != dpr) {
            FCanvas = QImage(px, QImage::Format_ARGB32_Premultiplied);
            if (FCanvas.isNull()) return; // too large to hold: draw nothing
            FCanvas.setDevicePixelRatio(dpr);
            FFullPaint = true;
        }
        if (FFullPaint) {
            FFullPaint = false;
            FCanvas.fill(Color(clBtnFace));
            PaintCanvas([this](QPainter& p) { Paint(p); });
        }
        QPainter w(this);
        w.drawImage(QPoint(0, 0), FCanvas);
    });
}

// A new size needs a new picture; paintEvent sees the size change itself
// (a hidden widget also gets resize events for unchanged sizes).
void TRahmen::resizeEvent(QResizeEvent* e) {
    QWidget::resizeEvent(e);
}

void TRahmen::changeEvent(QEvent* e) {
    QWidget::changeEvent(e);
    switch (e->type()) {
    case QEvent::FontChange:
    case QEvent::PaletteChange:
    case QEvent::StyleChange:
        Repaint();
        break;
    default:
        break;
    }
}

void TRahmen::mousePressEvent(QMouseEvent* e) {
    e->accept();
    platform::Guarded([this] { MousePress(); });
}

void TRahmen::mouseReleaseEvent(QMouseEvent* e) {
    e->accept();
    platform::Guarded([this] { MouseRelease(); });
}
